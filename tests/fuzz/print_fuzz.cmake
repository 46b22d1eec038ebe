kvd_fuzz(print_fuzz SOURCES print_fuzz.cpp)
