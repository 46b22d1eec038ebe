kvd_test(pod_roundtrip_test SOURCES pod_roundtrip_test.cpp pod_test_util.cpp)
