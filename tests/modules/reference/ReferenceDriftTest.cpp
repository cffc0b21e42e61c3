// The reference table describes exactly the functions the application's modules register:
// the real module list is built, as the application builds it, and compared both ways.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>

#include "bridge/NativeCall.h"
#include "modules/Modules.h"
#include "modules/Reference.h"
#include "support/TestServices.h"

using namespace lumetta;

namespace {

std::set<std::string> registeredPageNames(const bridge::NativeCall& native) {
    std::set<std::string> names;
    for (auto& name : native.functions().names())
        if (name.ends_with("::")) names.insert(name.substr(0, name.size() - 2));
    return names;
}

class ReferenceDrift : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Modules that reach for buses or servers find none: this test must touch nothing
        // of the machine's.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/lumetta-test", 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/lumetta-test", 1);
        setenv("PULSE_SERVER", "unix:/nonexistent/lumetta-test", 1);
        modules::useVirtualMidi();
    }
    test::TestHost host;
};

}  // namespace

TEST_F(ReferenceDrift, EveryRegisteredFunctionIsDescribed) {
    bridge::NativeCall native(host.services, modules::allModules());
    std::set<std::string> described;
    for (auto& f : modules::reference::functions()) described.insert(f.name);
    for (auto& name : registeredPageNames(native))
        EXPECT_TRUE(described.count(name)) << name << " is registered but not in the reference";
}

TEST_F(ReferenceDrift, EveryDescribedFunctionIsRegistered) {
    bridge::NativeCall native(host.services, modules::allModules());
    auto registered = registeredPageNames(native);
    for (auto& f : modules::reference::functions())
        EXPECT_TRUE(registered.count(f.name)) << f.name << " is described but not registered";
}

TEST_F(ReferenceDrift, FunctionListCallAnswersTheRegisteredNamesSorted) {
    bridge::NativeCall native(host.services, modules::allModules());
    std::string result = native.call("$$app_functions", std::nullopt, std::nullopt);
    ASSERT_EQ(result.front(), 's');
    std::vector<std::string> names = nlohmann::json::parse(result.substr(1));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    auto registered = registeredPageNames(native);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), registered);
    EXPECT_TRUE(registered.count("$$midi_send"));
}
