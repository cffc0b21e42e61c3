#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "base/Scheduling.h"
#include "host/gtk/AppDelegate.h"
#include "modules/Modules.h"
#include "modules/Reference.h"

int main(int argc, char** argv) {
    // Answered before GTK starts: needs no display and no running instance.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list-functions") == 0) {
            std::puts(lumetta::modules::reference::json().c_str());
            return 0;
        }
    }
    // Before any thread or helper process exists, so that all of them inherit it: MIDI and
    // events reach the page through several of them (our main thread, WebKit's message
    // threads on both sides, the web process's script thread), and each must wake promptly
    // when another program keeps the processor busy.
    lumetta::base::requestShortTimeSlice();
    // The journal files these lines under the application id.
    openlog(LUMETTA_APP_ID, LOG_PID, LOG_USER);
    lumetta::modules::registerCommands();
    lumetta::host::AppDelegate app;
    return app.run(argc, argv);
}
