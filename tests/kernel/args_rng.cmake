kvd_test(args_rng_test SOURCES args_rng_test.cpp)
