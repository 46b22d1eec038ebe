kvd_test(kernel_buttons_test SOURCES buttons_test.cpp)
