kvd_fuzz(kvd_text_read SOURCES kvd_text_read_fuzz.cpp)
