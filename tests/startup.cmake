# setup.ini is read through the ANSI profile functions, which decode paths and values with the
# process's ANSI code page: Wine takes it from LANG (ja_JP.UTF-8: 932, C.UTF-8: 1252). The suite
# runs under both, and checks inside that it got the code page it was started for. C.UTF-8 is
# used rather than an ungenerated locale such as en_US.UTF-8, under which Wine cannot name files
# outside ASCII at all.
if(TARGET startup_test)
    set_property(TEST startup_test APPEND PROPERTY ENVIRONMENT "LANG=ja_JP.UTF-8;STARTUP_EXPECTED_ACP=932")
    add_test(NAME startup_test_acp1252 COMMAND startup_test)
    set_tests_properties(startup_test_acp1252 PROPERTIES
        ENVIRONMENT "LANG=C.UTF-8;STARTUP_EXPECTED_ACP=1252"
        TIMEOUT 600)
endif()

# A DLL that exists only beside the test program: found there before the DLL search is
# hardened, and no longer afterwards.
if(TARGET startup_test)
    set(APP_FOLDER_DLL_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/app_folder_probe.c)
    file(WRITE ${APP_FOLDER_DLL_SOURCE} "__declspec(dllexport) int AppFolderProbe(void) { return 7; }\n")
    add_library(app_folder_probe SHARED ${APP_FOLDER_DLL_SOURCE})
    set_target_properties(app_folder_probe PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    add_dependencies(startup_test app_folder_probe)
endif()

# A private-folder name in a staging folder that is a link to a folder holding a program: the
# removal of abandoned private folders must leave the link and what it leads to alone.
add_scratch_tree_fixture(private_folder_link
    FOLDER private-folder-links
    SETUP startup_private_folder_link_make
    CLEANUP startup_private_folder_link_remove
    MAKE [=[
mkdir -p "$base/staging" "$base/elsewhere"
printf program > "$base/elsewhere/installer.exe"
ln -s ../elsewhere "$base/staging/installer-00000000000000a1"
]=]
    TESTS startup_test startup_test_acp1252)
