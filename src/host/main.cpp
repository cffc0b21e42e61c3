#include <syslog.h>

#include "host/AppDelegate.h"
#include "modules/Modules.h"

int main(int argc, char** argv) {
    openlog("lumetta", LOG_PID, LOG_USER);
    lumetta::modules::registerCommands();
    lumetta::host::AppDelegate app;
    return app.run(argc, argv);
}
