kvd_test(cpu_budget_test SOURCES cpu_budget_test.cpp)
