kvd_test(paths_test SOURCES paths_test.cpp)
