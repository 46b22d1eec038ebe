# The interpreters against independent references (Debian's lua5.4, Python).
foreach(mode stock twins numerals division counts dispatch budget traces alloc opcodes)
  add_test(NAME lang_reference_${mode}
    COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/reference_check.py ${mode} ${CMAKE_BINARY_DIR})
  set_tests_properties(lang_reference_${mode} PROPERTIES
    ENVIRONMENT "KVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVD_BINARY_DIR=${CMAKE_BINARY_DIR};KVD_PYTHON=${KVD_PYTHON}")
endforeach()
