# The version of every executable and of the release zip is the project's VERSION. Its four
# numbers go to the fixed part of the version resources and to the manifests; the text of
# ProductVersion adds the short commit id unless the commit is tagged v<major.minor.patch>, so a
# bug report names the exact build. scripts/package.sh builds from an exported tree without git
# and passes KELVARAN_BUILD_ID itself (empty for a tagged commit).
set(KELVARAN_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
if(NOT KELVARAN_VERSION_TWEAK)
    set(KELVARAN_VERSION_TWEAK 0)
endif()
set(KELVARAN_VERSION3 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
set(KELVARAN_VERSION4 "${KELVARAN_VERSION3}.${KELVARAN_VERSION_TWEAK}")
# The resource compiler wants the four numbers with commas.
string(REPLACE "." "," KELVARAN_VERSION_WORDS ${KELVARAN_VERSION4})

find_package(Git QUIET)
if(NOT DEFINED KELVARAN_BUILD_ID AND GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
                    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                    OUTPUT_VARIABLE commit RESULT_VARIABLE not_a_repository ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT DEFINED KELVARAN_BUILD_ID AND GIT_FOUND AND NOT not_a_repository)
    set(KELVARAN_BUILD_ID ${commit})
    # HEAD's log changes at every commit, checkout or reset: then the build configures again,
    # so the id in a developer's build never goes stale.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD
                    COMMAND_ERROR_IS_FATAL ANY
                    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(head_log ${head_log} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(EXISTS ${head_log})
        set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                                                  ${head_log})
    endif()
    execute_process(COMMAND ${GIT_EXECUTABLE} tag --points-at HEAD COMMAND_ERROR_IS_FATAL ANY
                    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE tags)
    if("${tags}" MATCHES "(^|\n)v${KELVARAN_VERSION3}(\n|$)")
        set(KELVARAN_BUILD_ID "")
    endif()
endif()
set(KELVARAN_PRODUCT_VERSION ${KELVARAN_VERSION4})
if(NOT KELVARAN_BUILD_ID STREQUAL "")
    string(APPEND KELVARAN_PRODUCT_VERSION "+${KELVARAN_BUILD_ID}")
endif()
