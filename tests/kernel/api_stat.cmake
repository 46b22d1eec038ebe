kvd_test(kernel_api_stat_test SOURCES api_stat_test.cpp)
