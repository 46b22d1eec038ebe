kvd_test(kernel_api_math_test SOURCES api_math_test.cpp)
