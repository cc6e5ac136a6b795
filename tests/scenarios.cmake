# End-to-end scenarios through the real installer.exe, the UI driver and real drives. The discs
# of several scenarios are made by mkdisc's library, so the tool and the installer meet here.
if(TARGET scenarios_e2e_test AND TARGET mkdisc_core)
    target_link_libraries(scenarios_e2e_test PRIVATE mkdisc_core)
    add_dependencies(scenarios_e2e_test installer)
    set_tests_properties(scenarios_e2e_test PROPERTIES TIMEOUT 480)

    # A destination too small for the game: a 5 MB tmpfs linked as drive V:. Mounting needs
    # root; without it the drive is not made and the scenario reports itself skipped.
    add_tmpfs_volume_fixture(scenario_volume OPTIONAL
        SIZE 5m
        FOLDER "$WINEPREFIX/../h5-small-volume"
        LINK "$WINEPREFIX/dosdevices/v:"
        TESTS scenarios_e2e_test)
endif()
