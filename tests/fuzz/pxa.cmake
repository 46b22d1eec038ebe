kvd_fuzz(pxa SOURCES pxa_fuzz.cpp)
