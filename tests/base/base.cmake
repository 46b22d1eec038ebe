# Base services: buffers, the debug log, host folders and the CPU budget.
kvd_test(pbuffer_test SOURCES pbuffer_test.cpp)
kvd_test(debug_log_test SOURCES debug_log_test.cpp)
kvd_test(paths_test SOURCES paths_test.cpp)
kvd_test(cpu_budget_test SOURCES cpu_budget_test.cpp)
