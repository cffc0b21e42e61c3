# Files and processes: the fs and sh modules, their file operations, the desktop services on
# GIO, the GTK file choosers and shell tasks.

add_library(lumetta_files STATIC
    src/files/PathText.cpp
    src/files/FileOperations.cpp
    src/files/FileLocations.cpp
    src/files/DialogQueue.cpp
    src/files/gio/Unzip.cpp
    src/files/gio/GioDesktop.cpp
    src/shell/Utf8Chunker.cpp
    src/shell/ShellTask.cpp
    src/shell/DesktopApplications.cpp
    src/modules/fs/FsModule.cpp
    src/modules/sh/ShModule.cpp
)
target_link_libraries(lumetta_files PUBLIC lumetta_core lumetta_raii_glib)

# Unit tests: no display; real files under a temporary home, real /bin/sh and unzip.
add_executable(fs_unit_tests
    tests/files/TestHome.cpp
    tests/files/PathTextTest.cpp
    tests/files/FileOperationsTest.cpp
    tests/files/FileLocationsTest.cpp
    tests/files/gio/GioDesktopTest.cpp
    tests/files/DialogQueueTest.cpp
    tests/shell/Utf8ChunkerTest.cpp
    tests/shell/ShellTaskTest.cpp
    tests/shell/DesktopApplicationsTest.cpp
    tests/modules/fs/FsModuleTest.cpp
    tests/modules/sh/ShModuleTest.cpp
)
target_include_directories(fs_unit_tests PRIVATE tests)
target_link_libraries(fs_unit_tests PRIVATE lumetta_files lumetta_test_support GTest::gtest_main)
add_test(NAME fs_unit COMMAND fs_unit_tests)
set_tests_properties(fs_unit PROPERTIES LABELS unit TIMEOUT 120)

if(NOT LUMETTA_UNIT_ONLY)
    add_library(lumetta_files_gtk STATIC
        src/files/gtk/GtkFileDialogs.cpp
        src/modules/fs/FsLinux.cpp
    )
    target_link_libraries(lumetta_files_gtk PUBLIC lumetta_files PkgConfig::GTK4)
    list(APPEND LUMETTA_MODULE_LIBS lumetta_files_gtk)

    # Real GTK file choosers: run under a display (scripts/with-display.sh).
    add_executable(fs_functional_tests
        tests/files/TestHome.cpp
        tests/files/gtk/GtkFileDialogsTest.cpp
    )
    target_include_directories(fs_functional_tests PRIVATE tests)
    target_link_libraries(fs_functional_tests PRIVATE lumetta_files_gtk lumetta_test_support
                          GTest::gtest_main)
    add_test(NAME fs_functional COMMAND fs_functional_tests)
    set_tests_properties(fs_functional PROPERTIES LABELS functional TIMEOUT 120)
endif()

# $$sh_exec over the loopback server: tasks started on the server's thread, finished on the
# main context. Runs under ThreadSanitizer as well.
add_executable(sh_xhr_tests tests/modules/sh/ShOverXhrTest.cpp)
target_include_directories(sh_xhr_tests PRIVATE tests)
target_link_libraries(sh_xhr_tests PRIVATE lumetta_files lumetta_test_support GTest::gtest_main)
add_test(NAME sh_xhr COMMAND sh_xhr_tests)
set_tests_properties(sh_xhr PROPERTIES LABELS "unit;concurrency" TIMEOUT 180)
add_dependencies(concurrency_tests sh_xhr_tests)
