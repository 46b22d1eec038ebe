# The machine's records: paged memory, the per-process allocator and message
# queues (the last two through the kernel's fixture).
kvd_test(memory_test SOURCES memory_test.cpp)
kvd_test(machine_alloc_test SOURCES alloc_test.cpp)
kvd_test(machine_alloc_fault_test SOURCES alloc_fault_test.cpp)
kvd_test(machine_message_test SOURCES message_test.cpp)
kvd_test(machine_rng_test SOURCES rng_test.cpp)
