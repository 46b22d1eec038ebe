kvd_test(pod_text_test SOURCES pod_text_test.cpp pod_test_util.cpp)
