kvd_fuzz(pxu_decode SOURCES pxu_decode_fuzz.cpp)
