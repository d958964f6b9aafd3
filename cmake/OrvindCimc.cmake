# Which CIMC client library the build uses, chosen once at configure time and said aloud:
#   -DORVIND_SYSTEM_CIMC=AUTO (default)  the installed library when its header cimc/cimc.h and
#                                        libcimcclient are both found, else the built-in stand-in
#   -DORVIND_SYSTEM_CIMC=ON              the installed library; configuring fails without it
#   -DORVIND_SYSTEM_CIMC=OFF             the built-in stand-in (registers in the local broker's
#                                        files; for evaluation and the tests)
# CIMC_INCLUDE_DIR and CIMC_LIBRARY (or CMAKE_PREFIX_PATH) point at a library elsewhere.
#
# Afterwards ORVIND_SYSTEM_CIMC holds ON or OFF, what was chosen, for the rest of the build,
# and ORVIND_CIMC_LIBRARY_FILE the installed library's file (its soname's path) when ON; the
# daemon and orvindctl learn it through the definition ORVIND_CIMC_LIBRARY.
set(ORVIND_SYSTEM_CIMC AUTO CACHE STRING
    "CIMC client library: AUTO (the installed one when found), ON (the installed one) or OFF (built-in stand-in)")
set_property(CACHE ORVIND_SYSTEM_CIMC PROPERTY STRINGS AUTO ON OFF)

string(TOUPPER "${ORVIND_SYSTEM_CIMC}" orvind_cimc_mode)
if(NOT orvind_cimc_mode STREQUAL "AUTO")
    # ON and OFF, and any other of CMake's words for true and false.
    if(ORVIND_SYSTEM_CIMC)
        set(orvind_cimc_mode ON)
    else()
        set(orvind_cimc_mode OFF)
    endif()
endif()

set(orvind_cimc_missing "")
if(NOT orvind_cimc_mode STREQUAL "OFF")
    find_path(CIMC_INCLUDE_DIR cimc/cimc.h DOC "Folder holding the installed cimc/cimc.h")
    find_library(CIMC_LIBRARY cimcclient DOC "The installed CIMC client library")
    if(NOT CIMC_INCLUDE_DIR)
        list(APPEND orvind_cimc_missing "the header cimc/cimc.h (set CIMC_INCLUDE_DIR)")
    endif()
    if(NOT CIMC_LIBRARY)
        list(APPEND orvind_cimc_missing "the library libcimcclient (set CIMC_LIBRARY)")
    endif()
endif()
string(REPLACE ";" " and " orvind_cimc_missing "${orvind_cimc_missing}")

if(orvind_cimc_mode STREQUAL "ON" AND orvind_cimc_missing)
    message(FATAL_ERROR "ORVIND_SYSTEM_CIMC=ON, but the installed CIMC client library was not "
                        "found: missing ${orvind_cimc_missing}. Install the CIMC client "
                        "library's development files, or configure with ORVIND_SYSTEM_CIMC=AUTO "
                        "or OFF for the built-in stand-in.")
endif()

if(orvind_cimc_mode STREQUAL "OFF" OR orvind_cimc_missing)
    set(ORVIND_SYSTEM_CIMC OFF)
    unset(ORVIND_CIMC_LIBRARY_FILE)
    if(orvind_cimc_mode STREQUAL "OFF")
        set(orvind_cimc_why "ORVIND_SYSTEM_CIMC=OFF")
    else()
        set(orvind_cimc_why "no installed library: missing ${orvind_cimc_missing}")
    endif()
    message(STATUS "CIM client: built-in stand-in (${orvind_cimc_why})")
else()
    set(ORVIND_SYSTEM_CIMC ON)
    # The file a program loads: the soname's link beside the library that was found.
    get_filename_component(orvind_cimc_dir "${CIMC_LIBRARY}" DIRECTORY)
    if(EXISTS "${orvind_cimc_dir}/libcimcclient.so.0")
        set(ORVIND_CIMC_LIBRARY_FILE "${orvind_cimc_dir}/libcimcclient.so.0")
    else()
        set(ORVIND_CIMC_LIBRARY_FILE "${CIMC_LIBRARY}")
    endif()
    add_compile_definitions(ORVIND_CIMC_LIBRARY="${ORVIND_CIMC_LIBRARY_FILE}")
    message(STATUS "CIM client: system library ${ORVIND_CIMC_LIBRARY_FILE} "
                   "(headers in ${CIMC_INCLUDE_DIR}; ORVIND_SYSTEM_CIMC=${orvind_cimc_mode})")
endif()
