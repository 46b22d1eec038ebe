kvd_fuzz(anywhen_log SOURCES anywhen_log_fuzz.cpp RUNS 20000)
