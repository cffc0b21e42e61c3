# Network device link: framing, discovery descriptions and MIDI packets (pure logic).

# Pure logic: no GLib, no sockets.
add_library(lumetta_link_wire STATIC
    src/link/DLKFrame.cpp
    src/link/DLKDescription.cpp
    src/link/DLKMIDIPacket.cpp
)
target_include_directories(lumetta_link_wire PUBLIC src)
target_link_libraries(lumetta_link_wire PUBLIC nlohmann_json::nlohmann_json)

# Unit tests of the pure logic.
add_executable(link_unit_tests
    tests/link/DLKFrameTest.cpp
    tests/link/DLKDescriptionTest.cpp
    tests/link/DLKMIDIPacketTest.cpp
)
target_link_libraries(link_unit_tests PRIVATE lumetta_link_wire GTest::gtest_main)
add_test(NAME link_unit COMMAND link_unit_tests)
set_tests_properties(link_unit PROPERTIES LABELS "unit" TIMEOUT 60)

