# Scratched and taken-out discs in the disc drives, through the real installer.exe; the discs are
# images made by mkdisc's library. A destination that fills up needs a volume of its own: a 6 MB
# tmpfs linked as drive Y:.
if(TARGET disc_faults_e2e_test AND TARGET mkdisc_core)
    target_link_libraries(disc_faults_e2e_test PRIVATE mkdisc_core)
    add_dependencies(disc_faults_e2e_test installer)
    set_tests_properties(disc_faults_e2e_test PROPERTIES TIMEOUT 480)
    add_tmpfs_volume_fixture(disc_faults_volume
        SIZE 6m
        FOLDER "$WINEPREFIX/../disc-faults-volume"
        LINK "$WINEPREFIX/dosdevices/y:"
        TESTS disc_faults_e2e_test)
endif()
