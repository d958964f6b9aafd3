# Read by cpack for each generator. The RPM's programs are stripped as they are installed
# into it (the Debian package strips them while it splits their debug symbols), and the
# RPM owns the log's folder, which its logrotate entry names.
if(CPACK_GENERATOR STREQUAL "RPM")
    set(CPACK_STRIP_FILES ON)
    set(CPACK_INSTALL_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/log-folder.cmake)
endif()
