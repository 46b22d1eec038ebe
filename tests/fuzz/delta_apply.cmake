kvd_fuzz(delta_apply SOURCES delta_apply_fuzz.cpp)
