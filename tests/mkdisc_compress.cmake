# mkdisc's encoder: the differential suite calls mkdisc's library; the tools check runs mkdisc.exe
# on edge-case files and reads its streams with bzip2, Python, 7-Zip and mkdisc verify.
if(TARGET mkdisc_compress_test AND TARGET mkdisc_core)
    target_link_libraries(mkdisc_compress_test PRIVATE mkdisc_core)
endif()
if(TARGET mkdisc)
    add_test(NAME mkdisc_compress_tools
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mkdisc_compress_tools.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                     $<TARGET_FILE:mkdisc>)
    set_tests_properties(mkdisc_compress_tools PROPERTIES TIMEOUT 900)
endif()
