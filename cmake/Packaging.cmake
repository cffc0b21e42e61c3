# What `make install` and the .deb hold: the programs, the bundled page with the page library
# and the bridge reference, the desktop entry (lumetta: URLs, audio and impulse-response
# files), the icon, the AppStream metainfo and the man pages. The application finds its
# resources relative to its own executable: bin/../share/lumetta installed, or the
# `resources` link beside it in the build tree.

include(GNUInstallDirs)

# The build tree's stand-in for share/lumetta, so build/lumetta finds its page the way the
# installed one does.
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/resources ${CMAKE_BINARY_DIR}/resources SYMBOLIC)

install(TARGETS lumetta lumetta-irconv lumetta-wavstat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The device simulator, for developing pages against the device link without hardware.
if(TARGET lumetta-devsim)
    install(TARGETS lumetta-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The web-process extension, found by the program at bin/../LIBDIR/lumetta/....
install(TARGETS lumetta_frame_guard LIBRARY DESTINATION ${LUMETTA_WEB_EXTENSIONS_INSTALL_DIR})
install(DIRECTORY resources/html DESTINATION ${CMAKE_INSTALL_DATADIR}/lumetta)
install(FILES packaging/${LUMETTA_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/${LUMETTA_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES packaging/${LUMETTA_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
file(GLOB LUMETTA_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/man/*.1)
install(FILES ${LUMETTA_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumetta)
set(CPACK_PACKAGE_VENDOR Velmar)
set(CPACK_PACKAGE_CONTACT "Velmar <lumetta@velmar.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop shell for musical-instrument editors written as web pages")
set(CPACK_PACKAGE_INSTALL_DIRECTORY lumetta)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "unzip, avahi-daemon, bluez")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The package's own tests: the desktop files validate, and the .deb, unpacked into a
# temporary root, runs from there on its bundled page (needs a display: see the script).
add_test(NAME desktop_files_validate
    COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/validate-desktop-files.sh ${CMAKE_SOURCE_DIR}/packaging)
set_tests_properties(desktop_files_validate PROPERTIES LABELS "unit" TIMEOUT 60)
add_test(NAME package_install
    COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/package-test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_install PROPERTIES LABELS "functional" TIMEOUT 600 RUN_SERIAL TRUE)
