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

# A host without a usable libcurl: fetch.cpp built again to load a library
# that is missing, or one that lacks the transfer calls (curl_stub.c).
add_library(kvd_curl_stub SHARED ${KVD_TEST_DIR}/curl_stub.c)
foreach(case missing incomplete)
  kvd_test(host_fetch_${case}_curl_test
    SOURCES fetch_unavailable_test.cpp ../../host/fetch.cpp)
  target_include_directories(host_fetch_${case}_curl_test PRIVATE ${CURL_INCLUDE_DIRS})
endforeach()
target_compile_definitions(host_fetch_missing_curl_test PRIVATE
  KVD_CURL_LIBRARY="libkvd_no_such_curl.so.4"
  KVD_EXPECTED_LOG="libkvd_no_such_curl.so.4 could not be loaded")
target_compile_definitions(host_fetch_incomplete_curl_test PRIVATE
  KVD_CURL_LIBRARY="$<TARGET_FILE:kvd_curl_stub>"
  KVD_EXPECTED_LOG="$<TARGET_FILE_NAME:kvd_curl_stub> has no curl_easy_init")
add_dependencies(host_fetch_incomplete_curl_test kvd_curl_stub)
