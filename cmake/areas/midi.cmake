# MIDI: the client, ports and parser over one service interface; the virtual service beside
# it; the ALSA sequencer service; the midi, midix and tgif bridge modules.

pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)

# Pure logic and the in-process virtual service: no platform headers.
add_library(lumetta_midi STATIC
    src/midi/Timestamp.cpp
    src/midi/MIDIParser.cpp
    src/midi/MIDIEndpointDictionary.cpp
    src/midi/MIDIInputPort.cpp
    src/midi/MIDIOutputPort.cpp
    src/midi/MIDIClient.cpp
    src/midi/virtual/VirtualMIDIService.cpp
)
target_include_directories(lumetta_midi PUBLIC src)
target_compile_definitions(lumetta_midi PRIVATE LUMETTA_APP_ID="${LUMETTA_APP_ID}")
target_link_libraries(lumetta_midi PUBLIC nlohmann_json::nlohmann_json Threads::Threads)

# The ALSA sequencer service and the choice between it and the virtual one.
add_library(lumetta_midi_alsa STATIC
    src/midi/alsa/AlsaSequencer.cpp
    src/midi/alsa/SequencerOutput.cpp
    src/midi/alsa/AlsaMIDIService.cpp
    src/midi/alsa/ServiceSelection.cpp
)
target_link_libraries(lumetta_midi_alsa PUBLIC lumetta_midi PRIVATE PkgConfig::ALSA)

# The bridge modules.
add_library(lumetta_midi_modules STATIC
    src/modules/midi/MidiModule.cpp
    src/modules/midi/ConnectionTool.cpp
    src/modules/midix/MidixModule.cpp
    src/modules/tgif/TgifModule.cpp
)
target_link_libraries(lumetta_midi_modules PUBLIC lumetta_core lumetta_midi lumetta_midi_alsa)

list(APPEND LUMETTA_MODULE_LIBS lumetta_midi_modules)

# Unit tests on the virtual service: no display, no sound hardware.
add_executable(midi_unit_tests
    tests/midi/MIDIParserTest.cpp
    tests/midi/MIDIClientTest.cpp
    tests/midi/MIDIInputPortTest.cpp
    tests/midi/MIDIOutputPortTest.cpp
    tests/midi/MIDIEndpointDictionaryTest.cpp
    tests/midi/virtual/VirtualMIDIServiceTest.cpp
    tests/midi/TimestampTest.cpp
    tests/modules/MidiModulesTest.cpp
)
target_link_libraries(midi_unit_tests PRIVATE lumetta_midi_modules lumetta_test_support GTest::gtest_main)
add_test(NAME midi_unit COMMAND midi_unit_tests)
set_tests_properties(midi_unit PROPERTIES LABELS "unit;concurrency" TIMEOUT 120)
add_dependencies(concurrency_tests midi_unit_tests)

# The ALSA service against the real sequencer; skips where /dev/snd/seq is missing.
add_executable(midi_alsa_tests tests/midi/alsa/AlsaMIDIServiceTest.cpp)
target_link_libraries(midi_alsa_tests PRIVATE lumetta_midi_alsa GTest::gtest_main)
add_test(NAME midi_alsa COMMAND midi_alsa_tests)
set_tests_properties(midi_alsa PROPERTIES LABELS "unit" TIMEOUT 60)

# The ALSA service on a fake sequencer (no kernel needed), and alsa-lib's MIDI event coder,
# which runs in user space. Threads: the service's receive and sender threads, so TSan too.
add_executable(midi_alsa_fake_tests
    tests/midi/alsa/FakeSequencer.cpp
    tests/midi/alsa/AlsaMIDIServiceFakeTest.cpp
    tests/midi/alsa/MIDIEventCoderTest.cpp
)
target_include_directories(midi_alsa_fake_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(midi_alsa_fake_tests PRIVATE lumetta_midi_alsa PkgConfig::ALSA GTest::gtest_main)
add_test(NAME midi_alsa_fake COMMAND midi_alsa_fake_tests)
set_tests_properties(midi_alsa_fake PROPERTIES LABELS "unit;concurrency" TIMEOUT 120)
add_dependencies(concurrency_tests midi_alsa_fake_tests)

# Latency and throughput from the receive thread to the bridge's event delivery (not a test).
add_executable(midi_bench bench/midi_bench.cpp)
target_link_libraries(midi_bench PRIVATE lumetta_midi_modules)
target_include_directories(midi_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)

# The ALSA service's output on the fake sequencer against the virtual service (not a test).
add_executable(midi_alsa_bench bench/midi_alsa_bench.cpp tests/midi/alsa/FakeSequencer.cpp)
target_include_directories(midi_alsa_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(midi_alsa_bench PRIVATE lumetta_midi_alsa PkgConfig::ALSA)
