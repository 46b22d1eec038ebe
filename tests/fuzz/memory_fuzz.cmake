kvd_fuzz(memory_fuzz SOURCES memory_fuzz.cpp)
