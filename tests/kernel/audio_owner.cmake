# Audio ownership, the memory mirror and the sound functions called from processes.
kvd_test(kernel_audio_owner_test SOURCES audio_owner_test.cpp)
