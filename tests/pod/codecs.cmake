# The byte codecs and hashes: unit tests, and a check of the codecs against
# Python's zlib, hashlib, base64, codecs and python3-lz4 through a small driver.
find_library(KVD_MURMURHASH_LIB murmurhash REQUIRED)
kvd_test(codecs_test
  SOURCES codecs_hash_test.cpp codecs_base64_test.cpp codecs_host_text_test.cpp
          codecs_delta_test.cpp codecs_pxa_test.cpp
  LIBS ${KVD_MURMURHASH_LIB})

add_executable(codecs_tool ${KVD_TEST_DIR}/codecs_tool.cpp)
target_compile_options(codecs_tool PRIVATE ${KVD_WARNINGS})
target_include_directories(codecs_tool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(codecs_tool PRIVATE kvd_all)
add_test(NAME codecs_reference
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/codecs_check.py $<TARGET_FILE:codecs_tool>)
set_tests_properties(codecs_reference PROPERTIES
  ENVIRONMENT "KVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVD_BINARY_DIR=${CMAKE_BINARY_DIR};KVD_PYTHON=${KVD_PYTHON}")
