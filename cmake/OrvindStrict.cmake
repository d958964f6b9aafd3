# The strictness gate: with ORVIND_STRICT every warning of the project's own targets is an
# error. The daemon, the platform layers and the tools are held to the full set. The tests,
# benchmarks and fuzz targets get a smaller one: the test framework's comparison macros
# take literals of one signedness against sizes of the other, so the conversion warnings
# would want a cast on each literal and catch nothing in the product; and gcc's null
# dereference analysis reports paths inside the standard library's stream iterators,
# which the tests and benchmarks use to read whole files.
set(ORVIND_STRICT_PRODUCT_OPTIONS
    -Werror -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wnull-dereference)
set(ORVIND_STRICT_TEST_OPTIONS -Werror -Wall -Wextra -Wshadow)

# Adds OPTIONS to every compiled target defined in DIR and in the folders below it.
function(orvind_strict_directory dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            target_compile_options(${target} PRIVATE ${ARGN})
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir ${subdirs})
        orvind_strict_directory(${subdir} ${ARGN})
    endforeach()
endfunction()

# The product's folders get the full set, every other folder (tests, bench, fuzz) the
# tests' set.
function(orvind_strict_project)
    get_property(subdirs DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
    foreach(subdir ${subdirs})
        get_filename_component(name ${subdir} NAME)
        if(name MATCHES "^(platform|synchronizer|tools|dist)$")
            orvind_strict_directory(${subdir} ${ORVIND_STRICT_PRODUCT_OPTIONS})
        else()
            orvind_strict_directory(${subdir} ${ORVIND_STRICT_TEST_OPTIONS})
        endif()
    endforeach()
endfunction()
