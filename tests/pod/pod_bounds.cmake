# Pod reading and writing bounded by the caller's memory, and the boundary
# lengths of strings and records through every flag.
kvd_test(pod_bounds_test SOURCES pod_bounds_test.cpp pod_limits_test.cpp pod_test_util.cpp)
