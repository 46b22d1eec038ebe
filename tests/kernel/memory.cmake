kvd_test(memory_test SOURCES memory_test.cpp)
