#include "modules/Modules.h"

#include "ir/IrCommands.h"
#include "midi/ServiceSelection.h"
#include "modules/app/AppModule.h"
#include "modules/ble/BleModule.h"
#include "modules/fs/FsModule.h"
#include "modules/http/HttpModule.h"
#include "modules/midi/MidiModule.h"
#include "modules/midix/MidixModule.h"
#include "modules/netservice/NetserviceModule.h"
#include "modules/notification/NotificationModule.h"
#include "modules/recognizer/RecognizerModule.h"
#include "modules/security/SecurityModule.h"
#include "modules/sh/ShModule.h"
#include "modules/store/StoreModule.h"
#include "modules/tcpip/TcpipModule.h"
#include "modules/tgif/TgifModule.h"
#include "modules/util/UtilModule.h"
#include "modules/zev/ZevModule.h"

namespace lumetta::modules {

// Teardown ranks: Bluetooth first, then extra MIDI clients, service discovery, TCP
// connections, then the device and audio objects, the MIDI client last; plain function
// modules after them.
std::vector<bridge::ModuleDescriptor> allModules() {
    return {
        midi::descriptor(),  // first: the bridge builds the MIDI client before anything else
        midix::descriptor(), tgif::descriptor(),         app::descriptor(),
        fs::descriptor(),    sh::descriptor(),           util::descriptor(),
        store::descriptor(), notification::descriptor(), recognizer::descriptor(),
        zev::descriptor(),   security::descriptor(),     tcpip::descriptor(),
        http::descriptor(),  netservice::descriptor(),
        ble::descriptor(),  // last: the bridge builds the Bluetooth manager after the rest
    };
}

void registerCommands() {
    ir::registerIrCommands();
}

void useVirtualMidi() {
    lumetta::midi::forceVirtualService(true);
}

}  // namespace lumetta::modules
