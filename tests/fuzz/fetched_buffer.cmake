kvd_fuzz(fetched_buffer SOURCES fetched_buffer_fuzz.cpp)
