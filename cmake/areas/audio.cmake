# Audio: devices, playback with time-pitch, recording, level meters and the volume curve; the
# PulseAudio queues and device list, the FFmpeg file reader and writer; the audio, player and
# recorder bridge modules.

pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(SOUNDTOUCH REQUIRED IMPORTED_TARGET soundtouch)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswresample libavutil)

# Pure logic and the bridge modules over the platform interfaces: no PulseAudio, no FFmpeg.
add_library(lumetta_audio STATIC
    src/audio/AudioVolume.cpp
    src/audio/LevelMeter.cpp
    src/audio/LocalStream.cpp
    src/audio/AudioOutput.cpp
    src/audio/AudioInput.cpp
    src/audio/AudioDevice.cpp
    src/audio/AudioPlayer.cpp
    src/audio/AudioRecorder.cpp
    src/audio/AudioConverter.cpp
    src/audio/MainThreadTimer.cpp
    src/modules/audio/AudioArguments.cpp
    src/modules/audio/AudioModule.cpp
    src/modules/player/PlayerModule.cpp
    src/modules/recorder/RecorderModule.cpp
)
target_include_directories(lumetta_audio PUBLIC src)
target_link_libraries(lumetta_audio PUBLIC lumetta_core nlohmann_json::nlohmann_json Threads::Threads)

# Play rate with the pitch kept.
add_library(lumetta_audio_timepitch STATIC src/audio/TimePitch.cpp)
target_include_directories(lumetta_audio_timepitch PUBLIC src)
target_link_libraries(lumetta_audio_timepitch PRIVATE PkgConfig::SOUNDTOUCH)

# The PulseAudio device list and queues.
add_library(lumetta_audio_pulse STATIC
    src/audio/pulse/PulseClient.cpp
    src/audio/pulse/PulseAudioSystem.cpp
    src/audio/pulse/PulseQueues.cpp
)
target_link_libraries(lumetta_audio_pulse PUBLIC lumetta_audio PkgConfig::PULSE
                      PRIVATE lumetta_audio_timepitch)

# The FFmpeg file reader and writer.
add_library(lumetta_audio_ffmpeg STATIC src/audio/ffmpeg/FfmpegAudioFiles.cpp)
target_link_libraries(lumetta_audio_ffmpeg PUBLIC lumetta_audio PRIVATE PkgConfig::FFMPEG)

# The modules on the Linux services.
add_library(lumetta_audio_modules STATIC
    src/modules/audio/AudioLinux.cpp
    src/modules/player/PlayerLinux.cpp
    src/modules/recorder/RecorderLinux.cpp
)
target_link_libraries(lumetta_audio_modules PUBLIC lumetta_audio lumetta_audio_pulse
                      lumetta_audio_ffmpeg lumetta_files)
list(APPEND LUMETTA_MODULE_LIBS lumetta_audio_modules)

# Unit tests: no server; real FFmpeg and SoundTouch on files and buffers the tests make.
add_executable(audio_unit_tests
    tests/audio/AudioTestSupport.cpp
    tests/audio/AudioVolumeTest.cpp
    tests/audio/LevelMeterTest.cpp
    tests/audio/AudioOutputTest.cpp
    tests/audio/AudioInputTest.cpp
    tests/audio/AudioPlayerTest.cpp
    tests/audio/AudioRecorderTest.cpp
    tests/audio/TimePitchTest.cpp
    tests/audio/ffmpeg/FfmpegAudioFilesTest.cpp
    tests/audio/AudioConverterTest.cpp
    tests/modules/audio/AudioModulesTest.cpp
)
target_include_directories(audio_unit_tests PRIVATE tests)
target_link_libraries(audio_unit_tests PRIVATE lumetta_audio lumetta_audio_ffmpeg
                      lumetta_audio_timepitch lumetta_test_support GTest::gtest_main
                      PkgConfig::FFMPEG)
add_test(NAME audio_unit COMMAND audio_unit_tests)
set_tests_properties(audio_unit PROPERTIES LABELS "unit;concurrency" TIMEOUT 180)
add_dependencies(concurrency_tests audio_unit_tests)

# Against a real PulseAudio server with null sinks that the tests start and stop themselves.
add_executable(audio_pulse_tests
    tests/audio/AudioTestSupport.cpp
    tests/audio/PulseServer.cpp
    tests/audio/pulse/PulseAudioTest.cpp
)
target_include_directories(audio_pulse_tests PRIVATE tests)
target_link_libraries(audio_pulse_tests PRIVATE lumetta_audio_modules lumetta_test_support
                      GTest::gtest_main PkgConfig::FFMPEG)
add_test(NAME audio_pulse COMMAND audio_pulse_tests)
set_tests_properties(audio_pulse PROPERTIES LABELS functional RUN_SERIAL TRUE TIMEOUT 300)

# CPU per second of audio next to paplay and parecord (not a test).
if(NOT LUMETTA_UNIT_ONLY)
    add_executable(audio_bench bench/audio_bench.cpp tests/audio/AudioTestSupport.cpp
                   tests/audio/PulseServer.cpp)
    target_include_directories(audio_bench PRIVATE tests)
    target_link_libraries(audio_bench PRIVATE lumetta_audio_pulse lumetta_audio_ffmpeg PkgConfig::FFMPEG)
endif()

# Conversion speed next to ffmpeg and sox (not a test).
if(NOT LUMETTA_UNIT_ONLY)
    add_executable(convert_bench bench/convert_bench.cpp tests/audio/AudioTestSupport.cpp)
    target_include_directories(convert_bench PRIVATE tests)
    target_link_libraries(convert_bench PRIVATE lumetta_audio_ffmpeg PkgConfig::FFMPEG)
endif()
