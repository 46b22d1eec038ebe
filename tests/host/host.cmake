# The host layer over SDL's dummy drivers.
kvd_test(host_window_test SOURCES window_test.cpp LIBS PkgConfig::SDL2)
kvd_test(host_input_test SOURCES input_test.cpp LIBS PkgConfig::SDL2)
kvd_test(host_services_test SOURCES host_services_test.cpp LIBS PkgConfig::SDL2)
kvd_test(host_audio_device_test SOURCES audio_device_test.cpp LIBS PkgConfig::SDL2)
