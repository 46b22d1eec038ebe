# What a hostile program reaches: the registry, the records the kernel
# points at, and messages sent with little memory left.
kvd_test(kernel_hostile_test SOURCES hostile_test.cpp)
