# Network discovery: DNS-SD service discovery on the Avahi client (netservice module) and the
# Bluetooth LE central on BlueZ over D-Bus (ble module).

# Pure service-discovery logic over the DNS-SD client interface, and the bridge module.
add_library(lumetta_dnssd STATIC
    src/net/DnsSdError.cpp
    src/net/NetService.cpp
    src/net/NetServiceBrowser.cpp
    src/net/NetServiceDiscovery.cpp
    src/modules/netservice/NetserviceModule.cpp
)
target_include_directories(lumetta_dnssd PUBLIC src)
target_link_libraries(lumetta_dnssd PUBLIC lumetta_core)

if(NOT LUMETTA_UNIT_ONLY)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client avahi-glib)
# The DNS-SD client on the Avahi daemon (replies on the GLib main loop).
add_library(lumetta_dnssd_avahi STATIC
    src/net/avahi/AvahiDnsSd.cpp
    src/modules/netservice/NetserviceAvahi.cpp
)
target_link_libraries(lumetta_dnssd_avahi PUBLIC lumetta_dnssd PRIVATE PkgConfig::AVAHI PkgConfig::GLIB)
list(APPEND LUMETTA_MODULE_LIBS lumetta_dnssd_avahi)
endif()

# Pure Bluetooth LE logic: texts, the manager over the central interface, the bridge module.
add_library(lumetta_ble STATIC
    src/net/BLEText.cpp
    src/net/BLECentralManager.cpp
    src/modules/ble/BleModule.cpp
)
target_include_directories(lumetta_ble PUBLIC src)
target_link_libraries(lumetta_ble PUBLIC lumetta_core PkgConfig::GLIB)

if(NOT LUMETTA_UNIT_ONLY)
# The central on BlueZ over D-Bus (GDBus), on a thread of its own.
add_library(lumetta_ble_bluez STATIC
    src/net/bluez/BlueZCentral.cpp
    src/modules/ble/BleBlueZ.cpp
)
target_link_libraries(lumetta_ble_bluez PUBLIC lumetta_ble lumetta_raii_glib)
list(APPEND LUMETTA_MODULE_LIBS lumetta_ble_bluez)
endif()

add_executable(netdisc_unit_tests
    tests/net/BLETextTest.cpp
    tests/modules/ble/BleModuleTest.cpp
    tests/net/DnsSdErrorTest.cpp
    tests/net/NetServiceDiscoveryTest.cpp
    tests/modules/netservice/NetserviceModuleTest.cpp
)
target_link_libraries(netdisc_unit_tests PRIVATE lumetta_dnssd lumetta_ble lumetta_test_support GTest::gtest_main)
add_test(NAME netdisc_unit COMMAND netdisc_unit_tests)
set_tests_properties(netdisc_unit PROPERTIES LABELS "unit" TIMEOUT 120)

# The Bluetooth manager's lock under concurrent calls and callbacks: also under ThreadSanitizer.
add_executable(netdisc_concurrency_tests tests/net/BLECentralManagerTest.cpp)
target_link_libraries(netdisc_concurrency_tests PRIVATE lumetta_ble lumetta_test_support
                      GTest::gtest_main)
add_test(NAME netdisc_concurrency COMMAND netdisc_concurrency_tests)
set_tests_properties(netdisc_concurrency PROPERTIES LABELS "unit;concurrency" TIMEOUT 120)
add_dependencies(concurrency_tests netdisc_concurrency_tests)

if(NOT LUMETTA_UNIT_ONLY)
# Against a real avahi-daemon: the runner makes a private network namespace with its own
# system bus and daemon, and runs the test binary inside it.
add_executable(dnssd_functional_tests tests/net/avahi/AvahiDnsSdTest.cpp)
target_link_libraries(dnssd_functional_tests PRIVATE lumetta_dnssd_avahi lumetta_test_support
                      PkgConfig::GLIB GTest::gtest_main)
add_test(NAME dnssd_functional
         COMMAND ${CMAKE_SOURCE_DIR}/tests/net/run-in-netns.sh $<TARGET_FILE:dnssd_functional_tests>)
set_tests_properties(dnssd_functional PROPERTIES LABELS "functional" TIMEOUT 300 RUN_SERIAL TRUE
                     SKIP_RETURN_CODE 77)

# The BlueZ central against python3-dbusmock on a private system bus the test starts itself.
add_executable(ble_functional_tests tests/net/bluez/BlueZCentralTest.cpp)
target_link_libraries(ble_functional_tests PRIVATE lumetta_ble_bluez lumetta_test_support
                      PkgConfig::GLIB GTest::gtest_main)
add_test(NAME ble_functional COMMAND ble_functional_tests)
set_tests_properties(ble_functional PROPERTIES LABELS "functional" TIMEOUT 300 RUN_SERIAL TRUE)
endif()

if(NOT LUMETTA_UNIT_ONLY)
# The real application and its page inside the private network namespace, on a private display.
find_package(X11 REQUIRED)
add_executable(netdisc_app_tests tests/functional/AppProcess.cpp
               tests/functional/NetserviceAppTest.cpp tests/functional/BleAppTest.cpp)
target_include_directories(netdisc_app_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(netdisc_app_tests PRIVATE lumetta_store lumetta_ble PkgConfig::GLIB GTest::gtest_main
                      X11::X11)
target_compile_definitions(netdisc_app_tests PRIVATE
    LUMETTA_APP_PATH="$<TARGET_FILE:lumetta>"
    LUMETTA_TEST_PAGES="${CMAKE_SOURCE_DIR}/tests/functional/pages"
    LUMETTA_PAGE_LIBRARY="${CMAKE_SOURCE_DIR}/resources/html/lumetta.js")
add_dependencies(netdisc_app_tests lumetta)
add_test(NAME netdisc_app
         COMMAND ${CMAKE_SOURCE_DIR}/tests/net/run-in-netns.sh
                 ${CMAKE_SOURCE_DIR}/scripts/with-display.sh $<TARGET_FILE:netdisc_app_tests>)
set_tests_properties(netdisc_app PROPERTIES LABELS "functional" TIMEOUT 300 RUN_SERIAL TRUE
                     SKIP_RETURN_CODE 77)
endif()
