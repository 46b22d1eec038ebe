kvd_fuzz(pbuffer_fuzz SOURCES pbuffer_fuzz.cpp)
