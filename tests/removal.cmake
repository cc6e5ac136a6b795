# Reparse points cannot be made from Windows code under Wine; a Unix symbolic link to a folder,
# made here on the Linux side of drive T:, shows up there as a folder link.
add_test(NAME removal_links
         COMMAND bash -c [=[set -eu
base="${INSTALLER_SCRATCH:?}/h3-removal"
rm -rf "$base"
mkdir -p "$base/outside/empty-behind" "$base/tree/kept"
echo precious > "$base/outside/precious.txt"
ln -s ../../outside "$base/tree/kept/link"
ln -s outside "$base/toplink"]=])
add_test(NAME removal_links_cleanup
         COMMAND bash -c [=[rm -rf "${INSTALLER_SCRATCH:?}/h3-removal"]=])
set_tests_properties(removal_links PROPERTIES FIXTURES_SETUP removal_links)
set_tests_properties(removal_links_cleanup PROPERTIES FIXTURES_CLEANUP removal_links)
set_tests_properties(removal_test PROPERTIES FIXTURES_REQUIRED removal_links)
