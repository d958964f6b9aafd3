# Turns slot-types.txt, the CIMC API's slot types as a compiler sees the real
# headers, into a C++ file of static assertions: compiling it against
# <cimc/cimc.h> fails as soon as one slot, size, offset or constant differs.
#
#   cmake -DLIST=slot-types.txt -DOUT=cimc_contract.cpp -P generate.cmake
#
# Line forms:
#   Table.slot: type              the slot's exact type
#   sizeof Name N (member@O ...), ...   sizes and member offsets
#   NAME VALUE NAME VALUE ...      constants
#   struct _ Name Name ...         each Name is a typedef of struct _Name (union _ likewise):
#                                  a program that declares the tag itself must meet the same
if(NOT LIST OR NOT OUT)
    message(FATAL_ERROR "generate.cmake needs -DLIST=... and -DOUT=...")
endif()

file(STRINGS "${LIST}" lines)
set(body "")
set(count 0)
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z]+FT)\\.([A-Za-z0-9_]+): (.+)$")
        set(table "${CMAKE_MATCH_1}")
        set(slot "${CMAKE_MATCH_2}")
        set(type "${CMAKE_MATCH_3}")
        string(APPEND body
            "static_assert(std::is_same<decltype(${table}::${slot}), ${type}>::value,\n"
            "              \"${table}.${slot} is not ${type}\");\n")
        math(EXPR count "${count} + 1")
    elseif(line MATCHES "^sizeof (.+)$")
        string(REPLACE ", " ";" records "${CMAKE_MATCH_1}")
        foreach(record IN LISTS records)
            if(NOT record MATCHES "^([A-Za-z]+) ([0-9]+)( \\((.*)\\))?$")
                message(FATAL_ERROR "${LIST}: cannot read size record '${record}'")
            endif()
            set(name "${CMAKE_MATCH_1}")
            set(size "${CMAKE_MATCH_2}")
            string(APPEND body
                "static_assert(sizeof(${name}) == ${size}, \"sizeof ${name} is not ${size}\");\n")
            if(CMAKE_MATCH_4)
                string(REPLACE " " ";" members "${CMAKE_MATCH_4}")
                foreach(member IN LISTS members)
                    string(REPLACE "@" ";" pair "${member}")
                    list(GET pair 0 field)
                    list(GET pair 1 offset)
                    string(APPEND body
                        "static_assert(offsetof(${name}, ${field}) == ${offset},\n"
                        "              \"${name}.${field} is not at offset ${offset}\");\n")
                endforeach()
            endif()
        endforeach()
    elseif(line MATCHES "^(struct|union) _ ([A-Za-z ]+)$")
        set(kind "${CMAKE_MATCH_1}")
        string(REPLACE " " ";" names "${CMAKE_MATCH_2}")
        foreach(name IN LISTS names)
            string(APPEND body
                "static_assert(std::is_same<${kind} _${name}, ${name}>::value,\n"
                "              \"${name} is not ${kind} _${name}\");\n")
        endforeach()
    elseif(line MATCHES "^[A-Za-z_]+ [0-9]+( [A-Za-z_]+ [0-9]+)*$")
        string(REPLACE " " ";" words "${line}")
        list(LENGTH words n)
        math(EXPR last "${n} - 1")
        foreach(i RANGE 0 ${last} 2)
            math(EXPR j "${i} + 1")
            list(GET words ${i} name)
            list(GET words ${j} value)
            string(APPEND body "static_assert(${name} == ${value}, \"${name} is not ${value}\");\n")
        endforeach()
    elseif(NOT line STREQUAL "")
        message(FATAL_ERROR "${LIST}: cannot read line '${line}'")
    endif()
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "${LIST} names no slot")
endif()

file(WRITE "${OUT}.new"
    "// Generated from ${LIST}; do not edit.\n"
    "// Holds <cimc/cimc.h> to the CIMC API's exact slot types (${count} slots) and tags.\n"
    "#include <cimc/cimc.h>\n\n#include <cstddef>\n#include <type_traits>\n\n"
    "${body}")
# Rewritten only when it changed, so that an unchanged list rebuilds nothing.
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.new")
