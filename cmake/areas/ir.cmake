# Impulse-response conversion: the WAV reader, the analysis engine, the "convert" and
# "wavstat" commands, their tools, tests and benchmark.

# The fit must pick the same candidates however it is scheduled: no fused multiply-adds and no
# reassociation, in the engine and in the reference it is checked against alike.
set(LUMETTA_IR_FLAGS -O3 -ffp-contract=off -fno-fast-math -Wno-psabi)
# The real cabinet IRs are not ours to bundle: tests and the benchmark look for them at run time
# in $LUMETTA_IR_CORPUS, else here, and the tests' corpus cases skip, saying so, without them.
set(LUMETTA_IR_CORPUS_DEFAULT "${LUMETTA_SHARED_DIR}/ir-corpus")
# ctest reports a case whose corpus is missing as skipped, not passed.
set(LUMETTA_SKIPPED_CASE "\\[  SKIPPED \\]")

add_library(lumetta_wav STATIC
    src/audio/FileStream.cpp
    src/audio/RiffChunkStream.cpp
    src/audio/WavStream.cpp
    src/audio/WavFileProc.cpp
    src/audio/CWaveUtil.cpp
)
target_include_directories(lumetta_wav PUBLIC src)
target_link_libraries(lumetta_wav PUBLIC nlohmann_json::nlohmann_json)

add_library(lumetta_irengine STATIC
    src/ir/CFFT.cpp
    src/ir/IrThreads.cpp
    src/ir/IrModel.cpp
    src/ir/IrPrepare.cpp
    src/ir/IrKernels.cpp
    src/ir/IrFit.cpp
    src/ir/CIrDataConv.cpp
)
target_compile_options(lumetta_irengine PRIVATE ${LUMETTA_IR_FLAGS})
target_link_libraries(lumetta_irengine PUBLIC lumetta_wav Threads::Threads)

add_library(lumetta_ir STATIC src/ir/IrCommands.cpp)
target_link_libraries(lumetta_ir PUBLIC lumetta_irengine lumetta_core)
list(APPEND LUMETTA_MODULE_LIBS lumetta_ir)

add_executable(lumetta-irconv tools/irconv/main.cpp)
target_link_libraries(lumetta-irconv PRIVATE lumetta_irengine)
add_executable(lumetta-wavstat tools/wavstat/main.cpp)
target_link_libraries(lumetta-wavstat PRIVATE lumetta_wav)

# The literal transcription of the analysis that the fast engine is checked against.
add_library(lumetta_ir_reference STATIC tests/ir/ReferenceIr.cpp tests/ir/SynthIr.cpp)
target_include_directories(lumetta_ir_reference PUBLIC tests)
target_compile_options(lumetta_ir_reference PRIVATE ${LUMETTA_IR_FLAGS})
target_link_libraries(lumetta_ir_reference PUBLIC lumetta_irengine)

add_executable(ir_unit_tests
    tests/audio/FileStreamTest.cpp
    tests/audio/RiffChunkStreamTest.cpp
    tests/audio/WavFileProcTest.cpp
    tests/audio/CWaveUtilTest.cpp
    tests/ir/CFFTTest.cpp
    tests/ir/IrPrepareTest.cpp
    tests/ir/IrFitTest.cpp
    tests/ir/IrKernelsTest.cpp
    tests/ir/IrModelTest.cpp
    tests/ir/IrThreadsTest.cpp
    tests/ir/IrCommandsTest.cpp
)
# The plain transform and resampling in these tests must round as the engine does.
set_source_files_properties(tests/ir/CFFTTest.cpp tests/ir/IrPrepareTest.cpp
                            PROPERTIES COMPILE_OPTIONS -ffp-contract=off)
target_compile_definitions(ir_unit_tests PRIVATE
    LUMETTA_IR_CORPUS_DEFAULT="${LUMETTA_IR_CORPUS_DEFAULT}")
# Uses the kernels' vector type, and its scalar check must round as the engine does.
set_source_files_properties(tests/ir/IrKernelsTest.cpp PROPERTIES COMPILE_OPTIONS
                            "${LUMETTA_IR_FLAGS}")
target_link_libraries(ir_unit_tests PRIVATE lumetta_ir lumetta_ir_reference lumetta_test_support
                      GTest::gtest_main)
add_test(NAME ir_unit COMMAND ir_unit_tests --gtest_filter=-Corpus*)
set_tests_properties(ir_unit PROPERTIES LABELS unit TIMEOUT 300)
add_test(NAME ir_unit_corpus COMMAND ir_unit_tests --gtest_filter=Corpus*)
set_tests_properties(ir_unit_corpus PROPERTIES LABELS unit TIMEOUT 300
                     SKIP_REGULAR_EXPRESSION "${LUMETTA_SKIPPED_CASE}")

# The job's background thread, its cancel and progress: also run under ThreadSanitizer.
add_executable(ir_job_tests tests/ir/CIrDataConvTest.cpp)
target_link_libraries(ir_job_tests PRIVATE lumetta_ir lumetta_ir_reference lumetta_test_support
                      GTest::gtest_main)
add_test(NAME ir_job COMMAND ir_job_tests)
set_tests_properties(ir_job PROPERTIES LABELS "unit;concurrency" TIMEOUT 120)
add_dependencies(concurrency_tests ir_job_tests)

# Reference against engine on whole files: minutes, normal builds only. The time-outs only
# guard against hanging: a few minutes each on an idle machine, many more on a loaded one.
add_executable(ir_slow_tests tests/ir/CorpusEquivalenceTest.cpp)
target_compile_definitions(ir_slow_tests PRIVATE
    LUMETTA_IR_CORPUS_DEFAULT="${LUMETTA_IR_CORPUS_DEFAULT}")
target_link_libraries(ir_slow_tests PRIVATE lumetta_ir_reference GTest::gtest_main)
add_test(NAME ir_slow COMMAND ir_slow_tests --gtest_filter=-Corpus*)
set_tests_properties(ir_slow PROPERTIES LABELS slow TIMEOUT 3600)
add_test(NAME ir_slow_corpus COMMAND ir_slow_tests --gtest_filter=Corpus*)
set_tests_properties(ir_slow_corpus PROPERTIES LABELS slow TIMEOUT 3600
                     SKIP_REGULAR_EXPRESSION "${LUMETTA_SKIPPED_CASE}")

add_executable(lumetta-ir-bench bench/IrBench.cpp)
target_compile_definitions(lumetta-ir-bench PRIVATE
    LUMETTA_IR_CORPUS_DEFAULT="${LUMETTA_IR_CORPUS_DEFAULT}")
target_link_libraries(lumetta-ir-bench PRIVATE lumetta_ir_reference)
