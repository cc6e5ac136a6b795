# The commit being built, found when the build is configured (and again whenever the checkout's
# HEAD moves): it names the programs' version (generated/build_commit.h), and its time, or
# SOURCE_DATE_EPOCH when set, becomes the time stamp of the shipped programs, so that two builds
# of one commit give the same bytes. Without git the build is named "unknown" and stamped 0.
set(INSTALLER_COMMIT "unknown")
set(INSTALLER_SOURCE_DATE_EPOCH 0)
find_package(Git QUIET)
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --abbrev=12
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} RESULT_VARIABLE failed
                    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed)
        set(INSTALLER_COMMIT ${described})
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                        OUTPUT_VARIABLE INSTALLER_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path logs/HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                        OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        get_filename_component(head_log "${head_log}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
        if(EXISTS "${head_log}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
        endif()
    endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(INSTALLER_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
endif()
# Written only when it changes, so that a new configuration rebuilds nothing else.
file(CONFIGURE OUTPUT ${GENERATED_DIR}/build_commit.h @ONLY CONTENT [=[
// Made when the build is configured: the commit being built.
#define INSTALLER_COMMIT_TEXT "@INSTALLER_COMMIT@"
]=])

# ld takes the PE time stamp from SOURCE_DATE_EPOCH in its environment (otherwise the moment).
function(installer_fixed_time_stamp target)
    set_target_properties(${target} PROPERTIES
        CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${INSTALLER_SOURCE_DATE_EPOCH}")
endfunction()
