# Folder links cannot be made from Windows code under Wine; a Unix symbolic link made here shows
# up as a folder with the reparse-point attribute. The uninstall tests use one inside a game
# folder on the scratch drive T:.
set(UNINSTALL_LINK_MAKE [=[
set -e
: "${INSTALLER_SCRATCH:?run through scripts/test.sh}"
base="$INSTALLER_SCRATCH/uninstall-links"
rm -rf "$base"
mkdir -p "$base/game/inside" "$base/elsewhere"
ln -s ../elsewhere "$base/game/link"
]=])
add_test(NAME uninstall_dialog_link_make COMMAND bash -c "${UNINSTALL_LINK_MAKE}")
add_test(NAME uninstall_dialog_link_remove COMMAND bash -c ": \"\${INSTALLER_SCRATCH:?}\" && rm -rf \"$INSTALLER_SCRATCH/uninstall-links\"")
set_tests_properties(uninstall_dialog_link_make PROPERTIES FIXTURES_SETUP uninstall_link)
set_tests_properties(uninstall_dialog_link_remove PROPERTIES FIXTURES_CLEANUP uninstall_link)
set_tests_properties(uninstall_dialog_test PROPERTIES FIXTURES_REQUIRED uninstall_link)
