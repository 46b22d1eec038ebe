kvd_fuzz(pod_read SOURCES pod_read_fuzz.cpp)
