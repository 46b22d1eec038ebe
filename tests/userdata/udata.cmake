kvd_test(udata_test SOURCES udata_test.cpp)
kvd_test(ud_ops_golden_test SOURCES ops_golden_test.cpp)
kvd_test(ud_methods_test SOURCES ud_methods_test.cpp)
