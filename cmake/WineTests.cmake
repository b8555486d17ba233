# Test registration: every test executable runs under Wine, in a prefix of its group.
#
# A group is a private Wine prefix under ${KELVARAN_WINE_ROOT}/<group>. A ctest fixture creates it
# (or reuses it), keeps its services alive with a sleeper process while the group's tests run, and
# afterwards ends that sleeper and the prefix's wineserver, and nothing else.

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# kelvaran_test_group(<group> [STANDIN] [extra arguments for "wine-prefix.sh up"])
# STANDIN registers the VirtualBox stand-in (standin/) in the group's prefix.
function(kelvaran_test_group group)
    set(prefix ${KELVARAN_WINE_ROOT}/${group})
    set(extra ${ARGN})
    list(FIND extra STANDIN standin_at)
    if(NOT standin_at EQUAL -1)
        list(REMOVE_AT extra ${standin_at})
        list(APPEND extra --standin ${KELVARAN_STANDIN_DIR})
    endif()
    add_test(NAME ${group}.prefix-up
             COMMAND ${KELVARAN_SOURCE_DIR}/scripts/wine-prefix.sh up ${prefix}
                     $<TARGET_FILE:wine-keeper> ${extra})
    add_test(NAME ${group}.prefix-down
             COMMAND ${KELVARAN_SOURCE_DIR}/scripts/wine-prefix.sh down ${prefix})
    set_tests_properties(${group}.prefix-up PROPERTIES FIXTURES_SETUP ${group} TIMEOUT 300)
    set_tests_properties(${group}.prefix-down PROPERTIES FIXTURES_CLEANUP ${group})
endfunction()

# kelvaran_add_gtest(<target> <group> [SERIAL] [TIMEOUT <seconds>] [FILTER <gtest filter>]
#                    [NAME <prefix>] [ARGS <argument>...] [ENVIRONMENT <NAME=value>...])
# Registers the GoogleTest cases of <target> (those FILTER selects) as ctest tests of <group>, named
# <prefix>.<Suite>.<Case> (the prefix is the group's by default), run in the group's prefix with
# ARGS on their command line and ENVIRONMENT in their environment. SERIAL keeps the group's tests
# from running at the same time (they share one prefix's VirtualBox stand-in, say). A target may be
# registered in several groups: once per VirtualBox release, say.
function(kelvaran_add_gtest target group)
    cmake_parse_arguments(ARG "SERIAL" "TIMEOUT;FILTER;NAME" "ARGS;ENVIRONMENT" ${ARGN})
    if(NOT ARG_NAME)
        set(ARG_NAME ${group})
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if(NOT ARG_FILTER)
        set(ARG_FILTER "*")
    endif()
    list(APPEND ARG_ENVIRONMENT "KELVARAN_WINEPREFIX=${KELVARAN_WINE_ROOT}/${group}")
    string(REPLACE ";" "\\;" environment "${ARG_ENVIRONMENT}")
    set(props FIXTURES_REQUIRED ${group} TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${environment}")
    if(ARG_SERIAL)
        list(APPEND props RESOURCE_LOCK ${group})
    endif()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         EXTRA_ARGS ${ARG_ARGS} TEST_PREFIX ${ARG_NAME}. TEST_FILTER ${ARG_FILTER} NO_PRETTY_VALUES
                         PROPERTIES ${props})
endfunction()
