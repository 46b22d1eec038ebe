# Checks on the build itself: no symbol defined twice, and the stubs left.
# Two archives that define one function each, so that the duplicate check is
# seen to fail on them (and pass on either alone).
add_library(kvd_dup_probe_a STATIC ${KVD_TEST_DIR}/dup_probe.cpp)
add_library(kvd_dup_probe_b STATIC ${KVD_TEST_DIR}/dup_probe.cpp)
set_target_properties(kvd_dup_probe_a kvd_dup_probe_b PROPERTIES EXCLUDE_FROM_ALL OFF)
# A stub and the real function under another signature, in two archives.
add_library(kvd_overload_probe_stub STATIC ${KVD_TEST_DIR}/overload_probe_stubs.cpp)
add_library(kvd_overload_probe_real STATIC ${KVD_TEST_DIR}/overload_probe.cpp)
add_test(NAME duplicate_symbols_fail
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_symbols_test.py ${CMAKE_SOURCE_DIR}/tools/check_symbols.py
    $<TARGET_FILE:kvd_dup_probe_a> $<TARGET_FILE:kvd_dup_probe_b>
    $<TARGET_FILE:kvd_overload_probe_stub> $<TARGET_FILE:kvd_overload_probe_real>)

set(stub_archives)
foreach(folder ${KVD_STACK})
  list(APPEND stub_archives $<TARGET_FILE:kvd_${folder}>)
endforeach()
add_test(NAME stubs_left
  COMMAND ${KVD_PYTHON} ${CMAKE_SOURCE_DIR}/tools/check_symbols.py stubs ${CMAKE_SOURCE_DIR} ${stub_archives})

# Each folder includes only the folders below it.
add_test(NAME folder_includes_stacked
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_includes_test.py ${CMAKE_SOURCE_DIR}/tools/check_includes.py
    ${CMAKE_SOURCE_DIR})

# Two archives where the lower one calls up into the higher one.
add_library(kvd_stack_probe_low STATIC ${KVD_TEST_DIR}/stack_probe.cpp)
target_compile_definitions(kvd_stack_probe_low PRIVATE KVD_STACK_PROBE_LOW)
add_library(kvd_stack_probe_high STATIC ${KVD_TEST_DIR}/stack_probe.cpp)
add_library(kvd_stack_probe_weak_low STATIC ${KVD_TEST_DIR}/stack_probe.cpp)
target_compile_definitions(kvd_stack_probe_weak_low PRIVATE KVD_STACK_PROBE_WEAK_LOW)
add_test(NAME stacked_symbols_fail
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_stacked_test.py ${CMAKE_SOURCE_DIR}/tools/check_symbols.py
    $<TARGET_FILE:kvd_stack_probe_low> $<TARGET_FILE:kvd_stack_probe_high>
    $<TARGET_FILE:kvd_stack_probe_weak_low>)
