# The installer's pictures are drawn at build time by make_pictures.py; a publisher replaces any of
# them with a file of its own through these options (the file is checked for the size the dialogs
# need and copied unchanged):
#   -DINSTALLER_MAIN_PICTURE=<bmp>  main dialog picture, 297 x 369, 24-bit (bitmap 131)
#   -DINSTALLER_BANNER=<bmp>        progress dialog banner, 461 x 41, 24-bit (bitmap 138)
#   -DINSTALLER_ICON=<ico>          window icon, 16/32/48/64/128/256 px, 32-bit (icon 107)
set(INSTALLER_MAIN_PICTURE "" CACHE FILEPATH "BMP (297 x 369, 24-bit) replacing the drawn main dialog picture")
set(INSTALLER_BANNER "" CACHE FILEPATH "BMP (461 x 41, 24-bit) replacing the drawn progress banner")
set(INSTALLER_ICON "" CACHE FILEPATH "ICO (16 to 256 px, 32-bit) replacing the drawn icon")

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(PICTURE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/make_pictures.py)
set(PICTURE_OUTPUTS
    ${GENERATED_DIR}/main_picture.bmp ${GENERATED_DIR}/banner.bmp ${GENERATED_DIR}/installer.ico
    ${GENERATED_DIR}/pictures.h)
set(PICTURE_ARGS "")
set(PICTURE_INPUTS ${PICTURE_SCRIPT})
foreach(option_and_flag "INSTALLER_MAIN_PICTURE;--main-picture" "INSTALLER_BANNER;--banner" "INSTALLER_ICON;--icon")
    list(GET option_and_flag 0 option)
    list(GET option_and_flag 1 flag)
    if(${option})
        get_filename_component(replacement "${${option}}" ABSOLUTE)
        if(NOT EXISTS "${replacement}")
            message(FATAL_ERROR "${option}: ${replacement} does not exist")
        endif()
        list(APPEND PICTURE_ARGS ${flag} ${replacement})
        list(APPEND PICTURE_INPUTS ${replacement})
    endif()
endforeach()

add_custom_command(
    OUTPUT ${PICTURE_OUTPUTS}
    COMMAND ${Python3_EXECUTABLE} ${PICTURE_SCRIPT} ${GENERATED_DIR} ${PICTURE_ARGS}
    DEPENDS ${PICTURE_INPUTS}
    COMMENT "Drawing the installer's pictures"
    VERBATIM)
add_custom_target(installer_pictures DEPENDS ${PICTURE_OUTPUTS})

# windres writes no dependency file, so every program that links the resource script is told
# what the script pulls in. Runs once all directories are known, because the test programs
# are added after this file is read.
set(INSTALLER_RC_DEPENDS
    ${PICTURE_OUTPUTS} ${GENERATED_DIR}/installer.manifest ${CMAKE_CURRENT_LIST_DIR}/resource_ids.h)
function(installer_rc_object_depends)
    set(directories ${CMAKE_SOURCE_DIR})
    set(pending ${CMAKE_SOURCE_DIR})
    while(pending)
        list(POP_FRONT pending directory)
        get_property(children DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
        list(APPEND directories ${children})
        list(APPEND pending ${children})
    endwhile()
    set_source_files_properties(${INSTALLER_RC} DIRECTORY ${directories}
                                PROPERTIES OBJECT_DEPENDS "${INSTALLER_RC_DEPENDS}")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL installer_rc_object_depends)
