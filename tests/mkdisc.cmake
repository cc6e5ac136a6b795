# mkdisc's tests call its library directly and also run the tool itself, found beside the
# test program's folder (tools/mkdisc/mkdisc.exe).
if(TARGET mkdisc_test AND TARGET mkdisc_core)
    target_link_libraries(mkdisc_test PRIVATE mkdisc_core)
    add_dependencies(mkdisc_test mkdisc)
endif()

# Small stand-ins for installer.exe beside the test programs, for discs too small for the real
# one: an i386 GUI program file with the installer's dialog ids, and one without the dialogs.
set(INSTALLER_STAND_IN ${CMAKE_CURRENT_BINARY_DIR}/installer_stand_in.exe)
add_custom_command(OUTPUT ${INSTALLER_STAND_IN} ${CMAKE_CURRENT_BINARY_DIR}/installer_stand_in_no_dialogs.exe
                   COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/support/installer_stand_in.py
                           ${CMAKE_SOURCE_DIR}/src/resources/resource_ids.h ${INSTALLER_STAND_IN}
                           ${CMAKE_CURRENT_BINARY_DIR}/installer_stand_in_no_dialogs.exe
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/installer_stand_in.py
                           ${CMAKE_SOURCE_DIR}/src/resources/resource_ids.h)
add_custom_target(installer_stand_in ALL DEPENDS ${INSTALLER_STAND_IN})
if(TARGET mkdisc_test)
    add_dependencies(mkdisc_test installer_stand_in)
endif()

# A 2 MiB volume for the refusal of a make that would not fit: a tmpfs linked as T:\mkdisc-volume.
add_tmpfs_volume_fixture(mkdisc_volume OPTIONAL
    SIZE 2m
    FOLDER "$INSTALLER_SCRATCH/../mkdisc-volume"
    LINK "$INSTALLER_SCRATCH/mkdisc-volume"
    TESTS mkdisc_test)

# The plans against real images: xorriso (a host tool) writes each disc folder as an image.
if(TARGET mkdisc)
    add_test(NAME mkdisc_images
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mkdisc_images.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                     $<TARGET_FILE:mkdisc>)
    set_tests_properties(mkdisc_images PROPERTIES TIMEOUT 900)
endif()

# mkdisc --version names the commit the build was configured from.
if(TARGET mkdisc)
    add_test(NAME mkdisc_version COMMAND mkdisc --version)
    set_tests_properties(mkdisc_version PROPERTIES PASS_REGULAR_EXPRESSION "mkdisc ${INSTALLER_COMMIT}\r?\n")
endif()

# mkdisc's images read by udfinfo, 7-Zip and pycdlib (host tools); the x86_64 mkdisc, whose
# build every machine runs natively, writes the file over 4 GiB quickly enough.
if(TARGET mkdisc AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_test(NAME mkdisc_readers
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mkdisc_readers.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                     $<TARGET_FILE:mkdisc>)
    set_tests_properties(mkdisc_readers PROPERTIES TIMEOUT 1200)
endif()
