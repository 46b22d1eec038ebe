# File system core: paths, mounts, the file table, file operations, ROMs.
kvd_test(pdisk_path_test SOURCES path_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_mount_test SOURCES mount_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_file_test SOURCES file_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_rom_test SOURCES rom_test.cpp pdisk_fixture.cpp)

add_executable(pdisk_probe ${KVD_TEST_DIR}/pdisk_probe.cpp)
target_compile_options(pdisk_probe PRIVATE ${KVD_WARNINGS})
target_link_libraries(pdisk_probe PRIVATE kvd_all)

add_test(NAME pdisk_normpath_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_normpath.py $<TARGET_FILE:pdisk_probe>)
add_test(NAME pdisk_stat_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_stat.py $<TARGET_FILE:pdisk_probe>)
add_test(NAME pdisk_rom_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_rom.py $<TARGET_FILE:kvd_rompack> $<TARGET_FILE:pdisk_probe>)
kvd_test(pdisk_cart_mount_test SOURCES cart_mount_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_kvd_text_test SOURCES kvd_text_test.cpp pdisk_fixture.cpp)
add_test(NAME pdisk_kvd_text_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_kvd_text.py $<TARGET_FILE:pdisk_probe>)
add_test(NAME pdisk_ls_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/check_ls.py $<TARGET_FILE:pdisk_probe>)
kvd_test(pdisk_listing_test SOURCES listing_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_file_api_test SOURCES file_api_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_pfile_table_test SOURCES pfile_table_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_png_cart_test SOURCES png_cart_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_hooks_test SOURCES hooks_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_cart_edges_test SOURCES cart_edges_test.cpp pdisk_fixture.cpp)
kvd_test(pdisk_eviction_stress_test SOURCES eviction_stress_test.cpp pdisk_fixture.cpp)
