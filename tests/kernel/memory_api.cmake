kvd_test(memory_api_test SOURCES memory_api_test.cpp)
