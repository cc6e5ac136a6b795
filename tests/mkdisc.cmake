# mkdisc's tests call its library directly and also run the tool itself, found beside the
# test program's folder (tools/mkdisc/mkdisc.exe).
if(TARGET mkdisc_test AND TARGET mkdisc_core)
    target_link_libraries(mkdisc_test PRIVATE mkdisc_core)
    add_dependencies(mkdisc_test mkdisc)
endif()
