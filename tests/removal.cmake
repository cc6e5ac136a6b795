# Reparse points cannot be made from Windows code under Wine; a Unix symbolic link to a folder,
# made here on the Linux side of drive T:, shows up there as a folder link.
add_scratch_tree_fixture(removal_links
    FOLDER h3-removal
    SETUP removal_links
    CLEANUP removal_links_cleanup
    MAKE [=[
mkdir -p "$base/outside/empty-behind" "$base/tree/kept"
echo precious > "$base/outside/precious.txt"
ln -s ../../outside "$base/tree/kept/link"
ln -s outside "$base/toplink"
]=]
    TESTS removal_test)
