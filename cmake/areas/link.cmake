# Network device link: framing, discovery descriptions and MIDI packets (pure logic), the
# sockets on the GLib main loop, the dlk bridge module, and the device simulator.

# Pure logic: no GLib, no sockets.
add_library(lumetta_link_wire STATIC
    src/link/DLKFrame.cpp
    src/link/DLKDescription.cpp
    src/link/DLKMIDIPacket.cpp
)
target_include_directories(lumetta_link_wire PUBLIC src)
target_link_libraries(lumetta_link_wire PUBLIC nlohmann_json::nlohmann_json)

# Sockets, timers and the keep-alive thread on the GLib main loop.
add_library(lumetta_link STATIC
    src/link/DLKNetClient.cpp
    src/link/DLKNetServer.cpp
    src/link/DLKDiscovery.cpp
    src/link/DLKConnection.cpp
    src/link/DLKMIDIService.cpp
    src/link/DLKAudioStreams.cpp
)
target_link_libraries(lumetta_link PUBLIC lumetta_link_wire lumetta_midi lumetta_raii_glib Threads::Threads)

# The dlk bridge module.
add_library(lumetta_dlk_module STATIC src/modules/dlk/DlkModule.cpp)
target_link_libraries(lumetta_dlk_module PUBLIC lumetta_core lumetta_link)
list(APPEND LUMETTA_MODULE_LIBS lumetta_dlk_module)

# The device simulator: a device on the link for page developers and for the tests.
add_executable(lumetta-devsim tools/devsim/main.cpp tools/devsim/Device.cpp)
target_link_libraries(lumetta-devsim PRIVATE lumetta_link_wire)
target_include_directories(lumetta-devsim PRIVATE tools/devsim)

# Unit tests of the pure logic.
add_executable(link_unit_tests
    tests/link/DLKFrameTest.cpp
    tests/link/DLKDescriptionTest.cpp
    tests/link/DLKMIDIPacketTest.cpp
)
target_link_libraries(link_unit_tests PRIVATE lumetta_link_wire GTest::gtest_main)
add_test(NAME link_unit COMMAND link_unit_tests)
set_tests_properties(link_unit PROPERTIES LABELS "unit" TIMEOUT 60)

# The link against the simulator on 127.0.0.1, and discovery inside a private network
# namespace: real sockets and a real peer process, so they run alone.
add_executable(link_loopback_tests
    tests/link/DevsimProcess.cpp
    tests/link/DLKNetClientTest.cpp
    tests/link/DLKNetServerTest.cpp
    tests/link/DLKConnectionTest.cpp
    tests/link/DLKAudioStreamsTest.cpp
    tests/link/DLKDiscoveryTest.cpp
    tests/modules/dlk/DlkModuleTest.cpp
)
target_link_libraries(link_loopback_tests PRIVATE lumetta_dlk_module lumetta_test_support GTest::gtest_main)
target_include_directories(link_loopback_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tools/devsim)
target_compile_definitions(link_loopback_tests PRIVATE
    LUMETTA_DEVSIM_PATH="$<TARGET_FILE:lumetta-devsim>")
add_dependencies(link_loopback_tests lumetta-devsim)
add_test(NAME link_loopback COMMAND link_loopback_tests)
# The keep-alive thread writes beside the main loop: ThreadSanitizer runs these too.
set_tests_properties(link_loopback PROPERTIES LABELS "functional;concurrency" TIMEOUT 600 RUN_SERIAL TRUE)
add_dependencies(concurrency_tests link_loopback_tests)

if(NOT LUMETTA_UNIT_ONLY)
    # The dlk module through the real page, with the simulator as the devices.
    find_package(X11 REQUIRED)
    add_executable(link_functional_tests
        tests/functional/AppProcess.cpp
        tests/functional/LinkFunctionalTest.cpp
        tests/link/DevsimProcess.cpp
    )
    target_include_directories(link_functional_tests PRIVATE tests tests/functional)
    target_link_libraries(link_functional_tests PRIVATE lumetta_store PkgConfig::GLIB
                          GTest::gtest_main X11::X11)
    target_compile_definitions(link_functional_tests PRIVATE
        LUMETTA_APP_PATH="$<TARGET_FILE:lumetta>"
        LUMETTA_TEST_PAGES="${CMAKE_SOURCE_DIR}/tests/functional/pages"
        LUMETTA_PAGE_LIBRARY="${CMAKE_SOURCE_DIR}/resources/html/lumetta.js"
        LUMETTA_IR_CORPUS="${LUMETTA_SHARED_DIR}/ir-corpus"
        LUMETTA_CONSOLE_DIR="${CMAKE_SOURCE_DIR}/resources/html"
        LUMETTA_DEVSIM_PATH="$<TARGET_FILE:lumetta-devsim>")
    add_dependencies(link_functional_tests lumetta lumetta-devsim)
    add_test(NAME link_functional COMMAND link_functional_tests)
    set_tests_properties(link_functional PROPERTIES LABELS "functional" TIMEOUT 180 RUN_SERIAL TRUE)
endif()

if(NOT LUMETTA_UNIT_ONLY)
    # MIDI latency and loss through the real page, audio both ways for 60 s (not a test).
    add_executable(link_bench bench/link_bench.cpp bench/BenchSupport.cpp tests/link/DevsimProcess.cpp)
    target_link_libraries(link_bench PRIVATE lumetta_host)
    target_include_directories(link_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tools/devsim
                                          ${CMAKE_SOURCE_DIR}/bench)
    target_compile_definitions(link_bench PRIVATE LUMETTA_DEVSIM_PATH="$<TARGET_FILE:lumetta-devsim>")
    add_dependencies(link_bench lumetta-devsim)
endif()
