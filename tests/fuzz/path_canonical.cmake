kvd_fuzz(path_canonical SOURCES path_canonical_fuzz.cpp)
