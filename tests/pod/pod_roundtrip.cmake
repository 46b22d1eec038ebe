kvd_test(pod_roundtrip_test SOURCES pod_roundtrip_test.cpp pod_test_util.cpp)
target_compile_definitions(pod_roundtrip_test PRIVATE KVD_BUILD_TREE="${CMAKE_BINARY_DIR}")
