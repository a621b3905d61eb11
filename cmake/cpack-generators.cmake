# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "DEB")
    # Its own folder: the settings file lies beside the executable, and /usr/bin is no place
    # for a file that users write.
    set(CPACK_PACKAGING_INSTALL_PREFIX /opt/morva)
    set(CPACK_COMPONENTS_ALL Unspecified system)
endif()
