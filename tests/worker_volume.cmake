# The free-space test of the install worker needs a volume whose free space nobody else moves:
# a 6 MB tmpfs linked as drive U: of the test prefix for the run of worker_test.
set(WORKER_VOLUME_MOUNT [=[
set -e
: "${WINEPREFIX:?run through scripts/test.sh}"
volume="$WINEPREFIX/../worker-volume"
mkdir -p "$volume"
mountpoint -q "$volume" || mount -t tmpfs -o size=6m tmpfs "$volume"
find "$volume" -mindepth 1 -delete
ln -sfn "$volume" "$WINEPREFIX/dosdevices/u:"
]=])
set(WORKER_VOLUME_UNMOUNT [=[
: "${WINEPREFIX:?run through scripts/test.sh}"
volume="$WINEPREFIX/../worker-volume"
rm -f "$WINEPREFIX/dosdevices/u:"
if mountpoint -q "$volume"; then umount -l "$volume"; fi
rmdir "$volume" 2>/dev/null || true
]=])
add_test(NAME worker_volume_mount COMMAND bash -c "${WORKER_VOLUME_MOUNT}")
add_test(NAME worker_volume_unmount COMMAND bash -c "${WORKER_VOLUME_UNMOUNT}")
set_tests_properties(worker_volume_mount PROPERTIES FIXTURES_SETUP worker_volume)
set_tests_properties(worker_volume_unmount PROPERTIES FIXTURES_CLEANUP worker_volume)
set_tests_properties(worker_test PROPERTIES FIXTURES_REQUIRED worker_volume)
