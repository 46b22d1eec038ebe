# Sockets and remote fetch jobs, against Python peers on the loopback. Their
# waits end on events; the limit only stops a hung run, and the sanitizer
# build on a busy machine is several times slower.
set(net_test_timeout 120)
if(KVD_SANITIZE)
  set(net_test_timeout 600)
endif()
kvd_test(host_sockets_test SOURCES sockets_test.cpp)
set_tests_properties(host_sockets_test PROPERTIES TIMEOUT ${net_test_timeout})
kvd_test(host_fetch_test SOURCES fetch_test.cpp)
set_tests_properties(host_fetch_test PROPERTIES TIMEOUT ${net_test_timeout})

# libcurl and its dependencies are loaded at the first download: the
# workstation's start-up neither loads nor relocates them.
if(NOT KVD_SANITIZE)
  add_test(NAME host_curl_loaded_on_demand
    COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/../lang/luai_libraries_check.py --forbid libcurl
      $<TARGET_FILE:kavelund>)
endif()
