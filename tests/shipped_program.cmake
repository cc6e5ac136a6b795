# The shipped i686 program's file: machine, subsystem, manifest, imports and the commit its version
# resource names. Checked from the x86_64 build, whose suites run on every machine (the i686
# suites need one that runs 32-bit code).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_test(NAME shipped_program_i686
             COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-pe.sh ${CMAKE_BINARY_DIR}/../i686/installer.exe
                     ${INSTALLER_COMMIT})
endif()
