# The i686 program is what ships; it cannot run here, so its file is checked instead.
add_test(NAME shipped_program_i686
         COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-pe.sh ${CMAKE_BINARY_DIR}/../i686/installer.exe)
