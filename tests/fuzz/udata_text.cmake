kvd_fuzz(udata_text SOURCES udata_text_fuzz.cpp)
