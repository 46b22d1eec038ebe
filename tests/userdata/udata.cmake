kvd_test(udata_test SOURCES udata_test.cpp)
