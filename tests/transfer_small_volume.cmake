# A 2 MiB volume for the tests of a disk that fills up in the middle of a copy or an expansion:
# a tmpfs mounted beside the scratch folder and reached through the link T:\small-volume (a
# link, so that emptying the scratch folder never meets a mount point). Mounting needs root;
# without it the link is not made and the tests that need the volume skip.
set(TRANSFER_VOLUME_MOUNT [=[
: "${INSTALLER_SCRATCH:?run through scripts/test.sh}"
volume="$INSTALLER_SCRATCH/../small-volume"
mkdir -p "$volume"
mountpoint -q "$volume" || mount -t tmpfs -o size=2m tmpfs "$volume" || exit 0
find "$volume" -mindepth 1 -delete
ln -sfn "$volume" "$INSTALLER_SCRATCH/small-volume"
]=])
set(TRANSFER_VOLUME_UNMOUNT [=[
: "${INSTALLER_SCRATCH:?run through scripts/test.sh}"
volume="$INSTALLER_SCRATCH/../small-volume"
rm -f "$INSTALLER_SCRATCH/small-volume"
if mountpoint -q "$volume"; then umount -l "$volume"; fi
rmdir "$volume" 2>/dev/null || true
]=])
add_test(NAME transfer_small_volume_mount COMMAND bash -c "${TRANSFER_VOLUME_MOUNT}")
add_test(NAME transfer_small_volume_unmount COMMAND bash -c "${TRANSFER_VOLUME_UNMOUNT}")
set_tests_properties(transfer_small_volume_mount PROPERTIES FIXTURES_SETUP transfer_small_volume)
set_tests_properties(transfer_small_volume_unmount PROPERTIES FIXTURES_CLEANUP transfer_small_volume)
set_tests_properties(transfer_test transfer_expand_test PROPERTIES FIXTURES_REQUIRED transfer_small_volume)
