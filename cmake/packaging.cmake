# Install rules and packages (CPack): scripts/package.sh makes them into dist/.
#   Windows build: morva-<version>-win64.zip, morva.exe with the README and a note as text.
#   Linux build: a Debian package (the program in /opt/morva/bin, put on PATH by a profile
#   snippet, morva.ini beside it made by the package scripts) and a .tar.gz of the same tree.
set(MORVA_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(MORVA_GENERATED ${CMAKE_BINARY_DIR}/generated)

if(WIN32)
    # Text files for Windows users: CRLF line ends, so that every editor shows them whole.
    configure_file(README.md ${MORVA_GENERATED}/README.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(${MORVA_PACKAGING}/windows/WINDOWS.txt.in ${MORVA_GENERATED}/WINDOWS.txt @ONLY
                   NEWLINE_STYLE CRLF)
    install(TARGETS morva RUNTIME DESTINATION .)
    install(TARGETS tarvex-sim RUNTIME DESTINATION .)
    install(FILES ${MORVA_GENERATED}/README.txt ${MORVA_GENERATED}/WINDOWS.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME morva-${PROJECT_VERSION}-win64)
else()
    include(GNUInstallDirs)
    configure_file(${MORVA_PACKAGING}/linux/morva.1.in ${MORVA_GENERATED}/morva.1 @ONLY)
    configure_file(${MORVA_PACKAGING}/linux/tarvex-sim.1.in ${MORVA_GENERATED}/tarvex-sim.1 @ONLY)
    install(TARGETS morva tarvex-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${MORVA_GENERATED}/morva.1 ${MORVA_GENERATED}/tarvex-sim.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Only the Debian package puts morva on every login's PATH (a component of its own, so
    # that neither the archive nor a plain install writes to /etc).
    install(FILES ${MORVA_PACKAGING}/linux/profile.sh DESTINATION /etc/profile.d
            RENAME morva.sh COMPONENT system EXCLUDE_FROM_ALL)

    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_PACKAGE_FILE_NAME morva-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${MORVA_PACKAGING}/linux/conffiles
        ${MORVA_PACKAGING}/linux/postinst ${MORVA_PACKAGING}/linux/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_STRIP_FILES ON)
    # Per generator: the layout differs between the package and the archive.
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-generators.cmake)
endif()

set(CPACK_PACKAGE_NAME morva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console tool for Tarvex serial devices")
set(CPACK_PACKAGE_CONTACT "morva developers <morva@localhost>")
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
