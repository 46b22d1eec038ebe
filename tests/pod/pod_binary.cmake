kvd_test(pod_binary_test SOURCES pod_binary_test.cpp pod_test_util.cpp)
