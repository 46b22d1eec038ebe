# The watchdog after a host signal, in child processes.
kvd_test(kernel_shutdown_watchdog_test SOURCES shutdown_watchdog_test.cpp)
