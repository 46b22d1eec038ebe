# Sockets and remote fetch jobs, against Python peers on the loopback.
kvd_test(host_sockets_test SOURCES sockets_test.cpp)
set_tests_properties(host_sockets_test PROPERTIES TIMEOUT 120)
kvd_test(host_fetch_test SOURCES fetch_test.cpp)
set_tests_properties(host_fetch_test PROPERTIES TIMEOUT 120)
