kvd_test(kernel_api_list_test SOURCES api_list_test.cpp)
