kvd_test(pod_charge_test SOURCES pod_charge_test.cpp pod_test_util.cpp)
