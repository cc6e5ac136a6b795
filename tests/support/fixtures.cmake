# ctest fixtures made on the Linux side of the test prefix, for what Windows code cannot make under
# Wine: a small volume of its own, and folder links. Each fixture is a setup and a cleanup entry
# that the named suites require. The scripts run under scripts/test.sh, which sets WINEPREFIX and
# INSTALLER_SCRATCH (drive T:).

# add_tmpfs_volume_fixture(<fixture> SIZE <size> FOLDER <folder> LINK <link> TESTS <suites...> [OPTIONAL])
# Entries <fixture>_mount and <fixture>_unmount. The mount puts a tmpfs of SIZE (tmpfs size=, e.g.
# 2m) on FOLDER, empties it and links it at LINK; FOLDER and LINK are shell words and may use
# $WINEPREFIX and $INSTALLER_SCRATCH. FOLDER stays outside the scratch folder so that emptying it
# never meets a mount point. Mounting needs root: with OPTIONAL a failed mount leaves the link
# unmade and the suites skip what needs the volume; without it the fixture fails.
function(add_tmpfs_volume_fixture fixture)
    cmake_parse_arguments(PARSE_ARGV 1 VOLUME "OPTIONAL" "SIZE;FOLDER;LINK" "TESTS")
    set(guard [=[: "${WINEPREFIX:?run through scripts/test.sh}" "${INSTALLER_SCRATCH:?run through scripts/test.sh}"]=])
    set(on_failure "")
    if(VOLUME_OPTIONAL)
        set(on_failure " || exit 0")
    endif()
    string(CONCAT mount_script
        "set -e\n${guard}\n"
        "volume=\"${VOLUME_FOLDER}\"\n"
        "mkdir -p \"$volume\"\n"
        "mountpoint -q \"$volume\" || mount -t tmpfs -o size=${VOLUME_SIZE} tmpfs \"$volume\"${on_failure}\n"
        "find \"$volume\" -mindepth 1 -delete\n"
        "ln -sfn \"$volume\" \"${VOLUME_LINK}\"\n")
    string(CONCAT unmount_script
        "${guard}\n"
        "volume=\"${VOLUME_FOLDER}\"\n"
        "rm -f \"${VOLUME_LINK}\"\n"
        "if mountpoint -q \"$volume\"; then umount -l \"$volume\"; fi\n"
        "rmdir \"$volume\" 2>/dev/null || true\n")
    add_test(NAME ${fixture}_mount COMMAND bash -c "${mount_script}")
    add_test(NAME ${fixture}_unmount COMMAND bash -c "${unmount_script}")
    set_tests_properties(${fixture}_mount PROPERTIES FIXTURES_SETUP ${fixture})
    set_tests_properties(${fixture}_unmount PROPERTIES FIXTURES_CLEANUP ${fixture})
    set_property(TEST ${VOLUME_TESTS} APPEND PROPERTY FIXTURES_REQUIRED ${fixture})
endfunction()

# add_scratch_tree_fixture(<fixture> FOLDER <name> SETUP <entry> CLEANUP <entry> MAKE <commands>
#                          TESTS <suites...>)
# The SETUP entry makes the folder <name> in the scratch folder afresh and runs the shell commands
# MAKE in it through $base (folders, files, symbolic links: a Unix link to a folder shows up under
# Wine as a folder link); the CLEANUP entry removes the folder again.
function(add_scratch_tree_fixture fixture)
    cmake_parse_arguments(PARSE_ARGV 1 TREE "" "FOLDER;SETUP;CLEANUP;MAKE" "TESTS")
    set(guard [=[: "${INSTALLER_SCRATCH:?run through scripts/test.sh}"]=])
    string(CONCAT make_script
        "set -eu\n${guard}\n"
        "base=\"$INSTALLER_SCRATCH/${TREE_FOLDER}\"\n"
        "rm -rf \"$base\"\n"
        "${TREE_MAKE}")
    string(CONCAT remove_script
        "set -eu\n${guard}\n"
        "rm -rf \"$INSTALLER_SCRATCH/${TREE_FOLDER}\"\n")
    add_test(NAME ${TREE_SETUP} COMMAND bash -c "${make_script}")
    add_test(NAME ${TREE_CLEANUP} COMMAND bash -c "${remove_script}")
    set_tests_properties(${TREE_SETUP} PROPERTIES FIXTURES_SETUP ${fixture})
    set_tests_properties(${TREE_CLEANUP} PROPERTIES FIXTURES_CLEANUP ${fixture})
    set_property(TEST ${TREE_TESTS} APPEND PROPERTY FIXTURES_REQUIRED ${fixture})
endfunction()
