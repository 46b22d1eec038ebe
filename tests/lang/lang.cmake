kvd_test(lang_dialect_test SOURCES dialect_test.cpp)
kvd_test(lang_vm_test SOURCES vm_test.cpp)
kvd_test(lang_lexer_test SOURCES lexer_test.cpp)
kvd_test(lang_args_test SOURCES args_test.cpp)
# No C++ frame can lie under a yield (yields jump back to their resume).
add_test(NAME lang_no_cpp_frame_under_a_yield
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/yield_frames_check.py ${CMAKE_SOURCE_DIR})
