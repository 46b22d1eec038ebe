# Processes, slices, the allocator, messages and the API registration.
kvd_test(kernel_slice_test SOURCES slice_test.cpp)
kvd_test(kernel_alloc_test SOURCES alloc_test.cpp)
kvd_test(kernel_message_test SOURCES message_test.cpp)
kvd_test(kernel_api_registry_test SOURCES api_registry_test.cpp)
kvd_test(kernel_settings_test SOURCES settings_test.cpp)
kvd_test(kernel_api_system_test SOURCES api_system_test.cpp)
