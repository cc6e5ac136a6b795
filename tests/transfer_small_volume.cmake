# A 2 MiB volume for the tests of a disk that fills up in the middle of a copy or an expansion:
# a tmpfs mounted beside the scratch folder and reached through the link T:\small-volume (a
# link, so that emptying the scratch folder never meets a mount point). Mounting needs root;
# without it the link is not made and the tests that need the volume skip.
add_tmpfs_volume_fixture(transfer_small_volume OPTIONAL
    SIZE 2m
    FOLDER "$INSTALLER_SCRATCH/../small-volume"
    LINK "$INSTALLER_SCRATCH/small-volume"
    TESTS transfer_test transfer_expand_test)
