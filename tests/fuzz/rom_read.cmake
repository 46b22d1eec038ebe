kvd_fuzz(rom_read SOURCES rom_read_fuzz.cpp)
