kvd_test(lang_dialect_test SOURCES dialect_test.cpp)
kvd_test(lang_vm_test SOURCES vm_test.cpp)
kvd_test(lang_lexer_test SOURCES lexer_test.cpp)
kvd_test(lang_args_test SOURCES args_test.cpp)
