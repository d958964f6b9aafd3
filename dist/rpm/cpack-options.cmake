# Read by cpack for each generator: the RPM's programs are stripped as they are
# installed into it (the Debian package strips them while it splits their debug symbols).
if(CPACK_GENERATOR STREQUAL "RPM")
    set(CPACK_STRIP_FILES ON)
endif()
