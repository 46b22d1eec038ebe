kvd_fuzz(base64_decode SOURCES base64_decode_fuzz.cpp)
