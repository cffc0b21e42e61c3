# The page developer's reference: one table of every bridge function and event (in
# lumetta_core), the generator of the reference page and lumetta.d.ts's typed block, and the
# tests that keep the table, the checked-in files and the registered functions equal.

add_executable(lumetta-reference tools/reference/main.cpp)
target_link_libraries(lumetta-reference PRIVATE lumetta_core)

# Rewrites resources/html/reference.html and the typed block of lumetta.d.ts.
add_custom_target(reference
    COMMAND lumetta-reference --update ${CMAKE_SOURCE_DIR}/resources/html
    DEPENDS lumetta-reference
    COMMENT "Regenerating the bridge reference page and lumetta.d.ts")

add_executable(reference_unit_tests tests/modules/reference/ReferenceTableTest.cpp)
target_compile_definitions(reference_unit_tests PRIVATE
    LUMETTA_RESOURCES="${CMAKE_SOURCE_DIR}/resources")
target_link_libraries(reference_unit_tests PRIVATE lumetta_core GTest::gtest_main)
add_test(NAME reference_unit COMMAND reference_unit_tests)
set_tests_properties(reference_unit PROPERTIES LABELS "unit" TIMEOUT 60)

# lumetta.js's exports against lumetta.d.ts, and the declarations compile.
add_test(NAME page_library_declarations
    COMMAND node ${CMAKE_SOURCE_DIR}/tests/modules/reference/check-page-library.js
            ${CMAKE_SOURCE_DIR}/resources/html)
set_tests_properties(page_library_declarations PROPERTIES LABELS "unit" TIMEOUT 60)

if(NOT LUMETTA_UNIT_ONLY)
    # Builds every module as the application does: it links the whole host.
    add_executable(reference_drift_tests tests/modules/reference/ReferenceDriftTest.cpp)
    target_link_libraries(reference_drift_tests PRIVATE lumetta_host lumetta_test_support
                          GTest::gtest_main)
    add_test(NAME reference_drift COMMAND reference_drift_tests)
    set_tests_properties(reference_drift PROPERTIES LABELS "unit" TIMEOUT 60)
endif()

# The page scripts keep one format (prettier, installed by scripts/install-deps.sh from
# package.json): `make format` rewrites them, this test names the files that drifted.
find_program(LUMETTA_PRETTIER prettier HINTS ${CMAKE_SOURCE_DIR}/node_modules/.bin NO_DEFAULT_PATH)
if(LUMETTA_PRETTIER)
    add_test(NAME js_format
        COMMAND ${LUMETTA_PRETTIER} --check --log-level warn
                "resources/html/**/*.{js,css}" "examples/**/*.{js,css}" "tests/**/*.js"
        WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
    set_tests_properties(js_format PROPERTIES LABELS "unit" TIMEOUT 120)
endif()
