# Processes, slices, settings and the API registration.
kvd_test(kernel_slice_test SOURCES slice_test.cpp)
kvd_test(kernel_api_registry_test SOURCES api_registry_test.cpp)
kvd_test(kernel_settings_test SOURCES settings_test.cpp)
kvd_test(kernel_api_system_test SOURCES api_system_test.cpp)
kvd_test(kernel_process_table_model_test SOURCES process_table_model_test.cpp)
