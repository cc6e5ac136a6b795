# mkdisc's tests call its library directly and also run the tool itself, found beside the
# test program's folder (tools/mkdisc/mkdisc.exe).
if(TARGET mkdisc_test AND TARGET mkdisc_core)
    target_link_libraries(mkdisc_test PRIVATE mkdisc_core)
    add_dependencies(mkdisc_test mkdisc)
endif()

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
