# Folder links cannot be made from Windows code under Wine; a Unix symbolic link made here shows
# up as a folder with the reparse-point attribute. The uninstall tests use one inside a game
# folder on the scratch drive T:.
add_scratch_tree_fixture(uninstall_link
    FOLDER uninstall-links
    SETUP uninstall_dialog_link_make
    CLEANUP uninstall_dialog_link_remove
    MAKE [=[
mkdir -p "$base/game/inside" "$base/elsewhere"
ln -s ../elsewhere "$base/game/link"
]=]
    TESTS uninstall_dialog_test)
