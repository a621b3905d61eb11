# Install rules and packages (CPack): scripts/package.sh makes them into dist/.
#   Windows builds: morva-<version>-win64.zip and -win32.zip, morva.exe with the README and a
#   note as text.
#   Linux build: a Debian package (the programs in /opt/morva/bin, started from /usr/bin, the
#   settings file shared in /var/lib/morva) and a .tar.gz of the programs with their manuals.
set(MORVA_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(MORVA_GENERATED ${CMAKE_BINARY_DIR}/generated)

if(WIN32)
    # Text files for Windows users: CRLF line ends, so that every editor shows them whole.
    configure_file(README.md ${MORVA_GENERATED}/README.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(${MORVA_PACKAGING}/windows/WINDOWS.txt.in ${MORVA_GENERATED}/WINDOWS.txt @ONLY
                   NEWLINE_STYLE CRLF)
    # The programs of the zips; scripts/package.sh builds them through packaged_programs.
    set(MORVA_WINDOWS_PROGRAMS morva morva-ports tarvex-sim)
    install(TARGETS ${MORVA_WINDOWS_PROGRAMS} RUNTIME DESTINATION .)
    add_custom_target(packaged_programs)
    add_dependencies(packaged_programs ${MORVA_WINDOWS_PROGRAMS})
    install(FILES ${MORVA_GENERATED}/README.txt ${MORVA_GENERATED}/WINDOWS.txt DESTINATION .)
    # The pages that the README links to, under the names that it gives.
    file(GLOB morva_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
    foreach(page ${morva_docs})
        get_filename_component(name ${page} NAME)
        configure_file(${page} ${MORVA_GENERATED}/docs/${name} @ONLY NEWLINE_STYLE CRLF)
        install(FILES ${MORVA_GENERATED}/docs/${name} DESTINATION docs)
    endforeach()
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(CPACK_PACKAGE_FILE_NAME morva-${PROJECT_VERSION}-win64)
    else()
        set(CPACK_PACKAGE_FILE_NAME morva-${PROJECT_VERSION}-win32)
    endif()
else()
    include(GNUInstallDirs)
    set(MORVA_DEB ${MORVA_GENERATED}/deb)
    foreach(page morva morva-ports tarvex-sim)
        configure_file(${MORVA_PACKAGING}/linux/${page}.1.in ${MORVA_GENERATED}/${page}.1 @ONLY)
        set(program ${page})
        configure_file(${MORVA_PACKAGING}/linux/wrapper.sh.in ${MORVA_DEB}/${page} @ONLY)
        # At configure time: the release build makes only the programs.
        execute_process(COMMAND gzip -9nc ${MORVA_GENERATED}/${page}.1
                        OUTPUT_FILE ${MORVA_DEB}/${page}.1.gz COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    execute_process(COMMAND gzip -9nc ${MORVA_PACKAGING}/linux/changelog
                    OUTPUT_FILE ${MORVA_DEB}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${MORVA_PACKAGING}/linux/changelog)
    file(CREATE_LINK /var/lib/morva/morva.ini ${MORVA_DEB}/morva.ini SYMBOLIC)

    install(TARGETS morva morva-ports tarvex-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The compiler's version notes are of no use in the installed programs.
    install(CODE "foreach(program morva morva-ports tarvex-sim)
            execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()")
    # The archive's tree: manual pages and README beside the programs.
    install(FILES ${MORVA_GENERATED}/morva.1 ${MORVA_GENERATED}/morva-ports.1
            ${MORVA_GENERATED}/tarvex-sim.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT archive)
    install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT archive)
    install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT archive)
    # The Debian package only (a component of its own, so that neither the archive nor a plain
    # install writes outside its prefix): starters on every PATH, the link to the shared
    # settings file, and manual pages and documentation where Debian keeps them.
    install(PROGRAMS ${MORVA_DEB}/morva ${MORVA_DEB}/morva-ports ${MORVA_DEB}/tarvex-sim
            DESTINATION /usr/bin
            COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${MORVA_DEB}/morva.ini DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${MORVA_DEB}/morva.1.gz ${MORVA_DEB}/morva-ports.1.gz ${MORVA_DEB}/tarvex-sim.1.gz
            DESTINATION /usr/share/man/man1 COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${MORVA_PACKAGING}/linux/copyright ${MORVA_DEB}/changelog.gz README.md
            DESTINATION /usr/share/doc/morva COMPONENT system EXCLUDE_FROM_ALL)
    install(DIRECTORY docs DESTINATION /usr/share/doc/morva COMPONENT system EXCLUDE_FROM_ALL)
    install(FILES ${MORVA_PACKAGING}/linux/lintian-overrides
            DESTINATION /usr/share/lintian/overrides RENAME morva
            COMPONENT system EXCLUDE_FROM_ALL)

    set(CPACK_GENERATOR DEB TGZ)
    set(CPACK_PACKAGE_FILE_NAME morva-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${MORVA_PACKAGING}/linux/preinst
        ${MORVA_PACKAGING}/linux/postinst ${MORVA_PACKAGING}/linux/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    string(CONCAT CPACK_PACKAGE_DESCRIPTION
           "morva passes device commands through a serial (COM) port and prints the\n"
           "device's one-line reply, scans the ports for Tarvex devices, keeps the\n"
           "chosen port in a settings file shared by the group dialout, and updates a\n"
           "device's firmware from a Motorola S-record file. Every run does one job\n"
           "and ends with an exit code that tells the calling script what happened.\n"
           "The package also holds morva-ports, a list of the serial devices with\n"
           "the COM numbers that morva gives them, and tarvex-sim, a simulated\n"
           "Tarvex device on a pseudo-terminal for trying scripts without a device.")
    set(CPACK_STRIP_FILES ON)
    # Per generator: the layout differs between the package and the archive.
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-generators.cmake)
endif()

set(CPACK_PACKAGE_NAME morva)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console tool for Tarvex serial devices")
set(CPACK_PACKAGE_CONTACT "morva developers <morva-dev@tarvex-tools.example>")
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
