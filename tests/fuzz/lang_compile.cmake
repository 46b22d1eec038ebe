kvd_fuzz(lang_compile_fuzz SOURCES lang_compile_fuzz.cpp)
