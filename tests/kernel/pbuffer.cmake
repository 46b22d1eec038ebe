kvd_test(pbuffer_test SOURCES pbuffer_test.cpp)
