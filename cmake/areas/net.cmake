# Other connectivity: HTTP transfers on libsoup 3, the raw TCP client, and the security module
# on OpenSSL 3 libcrypto.

pkg_check_modules(OPENSSL_CRYPTO REQUIRED IMPORTED_TARGET libcrypto)

# Security: the crypto on libcrypto and the bridge functions over it.
add_library(lumetta_security STATIC
    src/net/SecurityCrypto.cpp
    src/modules/security/SecurityModule.cpp
)
target_link_libraries(lumetta_security PUBLIC lumetta_core PRIVATE PkgConfig::OPENSSL_CRYPTO)
list(APPEND LUMETTA_MODULE_LIBS lumetta_security)

# Unit tests: results checked against the openssl command-line tool.
add_executable(security_unit_tests
    tests/net/SecurityCryptoTest.cpp
    tests/modules/security/SecurityModuleTest.cpp
)
target_include_directories(security_unit_tests PRIVATE tests)
target_link_libraries(security_unit_tests PRIVATE lumetta_security lumetta_test_support
                      GTest::gtest_main)
add_test(NAME security_unit COMMAND security_unit_tests)
set_tests_properties(security_unit PROPERTIES LABELS unit TIMEOUT 120)

# TCP: the client with its reader thread, and the tcpip bridge module.
add_library(lumetta_tcpip STATIC
    src/net/TCPIPClient.cpp
    src/modules/tcpip/TcpipModule.cpp
)
target_link_libraries(lumetta_tcpip PUBLIC lumetta_core Threads::Threads)
list(APPEND LUMETTA_MODULE_LIBS lumetta_tcpip)

# Against real loopback peers; the reader threads also run under ThreadSanitizer.
add_executable(tcpip_unit_tests
    tests/net/TCPIPClientTest.cpp
    tests/modules/tcpip/TcpipModuleTest.cpp
)
target_include_directories(tcpip_unit_tests PRIVATE tests)
target_link_libraries(tcpip_unit_tests PRIVATE lumetta_tcpip lumetta_test_support GTest::gtest_main)
add_test(NAME tcpip_unit COMMAND tcpip_unit_tests)
set_tests_properties(tcpip_unit PROPERTIES LABELS "unit;concurrency" TIMEOUT 180)
add_dependencies(concurrency_tests tcpip_unit_tests)

# HTTP: the transfer manager (no HTTP library), the libsoup transfers and the http module.
pkg_check_modules(SOUP3 REQUIRED IMPORTED_TARGET libsoup-3.0)
add_library(lumetta_http STATIC
    src/net/HTTPConnection.cpp
    src/net/HTTPTask.cpp
    src/modules/http/HttpModule.cpp
)
target_link_libraries(lumetta_http PUBLIC lumetta_core PkgConfig::SOUP3 lumetta_raii_glib)
list(APPEND LUMETTA_MODULE_LIBS lumetta_http)

# Loopback servers for the transfer tests and benchmarks.
add_library(lumetta_net_test_support STATIC tests/net/TestHttpServer.cpp)
target_include_directories(lumetta_net_test_support PUBLIC tests)
target_link_libraries(lumetta_net_test_support PUBLIC lumetta_core Threads::Threads)

add_executable(http_unit_tests
    tests/net/HTTPConnectionTest.cpp
    tests/modules/http/HttpModuleTest.cpp
)
target_link_libraries(http_unit_tests PRIVATE lumetta_http lumetta_net_test_support
                      lumetta_test_support GTest::gtest_main)
add_test(NAME http_unit COMMAND http_unit_tests)
set_tests_properties(http_unit PROPERTIES LABELS unit TIMEOUT 300)

# Loopback throughput next to curl and a plain socket client (not a test).
if(NOT LUMETTA_UNIT_ONLY)
    add_executable(net_bench bench/net_bench.cpp)
    target_link_libraries(net_bench PRIVATE lumetta_http lumetta_tcpip lumetta_net_test_support
                          lumetta_test_support)
endif()

# The real application driven through a page: run inside scripts/with-display.sh.
if(NOT LUMETTA_UNIT_ONLY)
    find_package(X11 REQUIRED)
    add_executable(net_functional_tests
        tests/functional/AppProcess.cpp
        tests/functional/NetAppTest.cpp
    )
    target_include_directories(net_functional_tests PRIVATE tests tests/functional)
    target_link_libraries(net_functional_tests PRIVATE lumetta_net_test_support lumetta_store
                          GTest::gtest_main X11::X11)
    target_compile_definitions(net_functional_tests PRIVATE
        LUMETTA_APP_PATH="$<TARGET_FILE:lumetta>"
        LUMETTA_TEST_PAGES="${CMAKE_SOURCE_DIR}/tests/functional/pages"
        LUMETTA_PAGE_LIBRARY="${CMAKE_SOURCE_DIR}/resources/html/lumetta.js")
    add_dependencies(net_functional_tests lumetta)
    add_test(NAME net_functional COMMAND net_functional_tests)
    set_tests_properties(net_functional PROPERTIES LABELS functional TIMEOUT 180 RUN_SERIAL TRUE)
endif()

# --- Network discovery ---
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
