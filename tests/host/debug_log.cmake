kvd_test(debug_log_test SOURCES debug_log_test.cpp)
