# End-to-end scenarios through the real installer.exe, the UI driver and real drives. The discs
# of several scenarios are made by mkdisc's library, so the tool and the installer meet here.
if(TARGET scenarios_e2e_test AND TARGET mkdisc_core)
    target_link_libraries(scenarios_e2e_test PRIVATE mkdisc_core)
    add_dependencies(scenarios_e2e_test installer)
    set_tests_properties(scenarios_e2e_test PROPERTIES TIMEOUT 480)

    # A destination too small for the game: a 5 MB tmpfs linked as drive V: (mounting needs
    # root; without it the scenario reports itself skipped).
    set(SCENARIO_VOLUME_MOUNT [=[
: "${WINEPREFIX:?run through scripts/test.sh}"
volume="$WINEPREFIX/../h5-small-volume"
mkdir -p "$volume"
if ! mountpoint -q "$volume"; then
  mount -t tmpfs -o size=5m tmpfs "$volume" 2>/dev/null || { echo "no tmpfs (not root?): V: stays absent"; exit 0; }
fi
find "$volume" -mindepth 1 -delete
ln -sfn "$volume" "$WINEPREFIX/dosdevices/v:"
]=])
    set(SCENARIO_VOLUME_UNMOUNT [=[
: "${WINEPREFIX:?run through scripts/test.sh}"
volume="$WINEPREFIX/../h5-small-volume"
rm -f "$WINEPREFIX/dosdevices/v:"
if mountpoint -q "$volume"; then umount -l "$volume"; fi
rmdir "$volume" 2>/dev/null || true
]=])
    add_test(NAME scenario_volume_mount COMMAND bash -c "${SCENARIO_VOLUME_MOUNT}")
    add_test(NAME scenario_volume_unmount COMMAND bash -c "${SCENARIO_VOLUME_UNMOUNT}")
    set_tests_properties(scenario_volume_mount PROPERTIES FIXTURES_SETUP scenario_volume)
    set_tests_properties(scenario_volume_unmount PROPERTIES FIXTURES_CLEANUP scenario_volume)
    set_tests_properties(scenarios_e2e_test PROPERTIES FIXTURES_REQUIRED scenario_volume)
endif()
