# The free-space test of the install worker needs a volume whose free space nobody else moves:
# a 6 MB tmpfs linked as drive U: of the test prefix for the run of worker_test.
add_tmpfs_volume_fixture(worker_volume
    SIZE 6m
    FOLDER "$WINEPREFIX/../worker-volume"
    LINK "$WINEPREFIX/dosdevices/u:"
    TESTS worker_test)
