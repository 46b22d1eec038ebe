kvd_fuzz(tokenoid SOURCES tokenoid_fuzz.cpp)
