# Two builds of one commit give the same installer.exe: the shipped i686 program is built a
# second time, in a tree of its own in another folder, and compared with this one. The second
# tree is configured with this one's time stamp and pictures.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_test(NAME reproducible_installer
             COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-reproducible.sh ${CMAKE_SOURCE_DIR}
                     $<TARGET_FILE:installer> ${CMAKE_BINARY_DIR}-again ${CMAKE_TOOLCHAIN_FILE}
                     -DINSTALLER_MAIN_PICTURE=${INSTALLER_MAIN_PICTURE} -DINSTALLER_BANNER=${INSTALLER_BANNER}
                     -DINSTALLER_ICON=${INSTALLER_ICON})
    set_tests_properties(reproducible_installer PROPERTIES TIMEOUT 3600
                         ENVIRONMENT SOURCE_DATE_EPOCH=${INSTALLER_SOURCE_DATE_EPOCH})
endif()
