# End-to-end runs of the workstation on test system ROMs packed from the
# folders under roms/ (each holds system/boot.lua and friends).
file(GLOB e2e_roms LIST_DIRECTORIES true CONFIGURE_DEPENDS "${KVD_TEST_DIR}/roms/*")
set(e2e_rom_dir "${CMAKE_BINARY_DIR}/tests/e2e/roms")
foreach(rom ${e2e_roms})
  get_filename_component(name "${rom}" NAME)
  kvd_pack_sysrom(e2e_rom_${name} "${rom}" "${e2e_rom_dir}/${name}.dat")
endforeach()
# The greeting ROM again, with an export name and an exported cartridge.
kvd_pack_sysrom(e2e_rom_hello_cart "${KVD_TEST_DIR}/roms/hello" "${e2e_rom_dir}/hello_cart.dat"
  EXPORT demo CART "${KVD_TEST_DIR}/carts/demo")

foreach(group startup frames processes files)
  add_test(NAME kernel_e2e_${group}
    COMMAND ${KVD_PYTHON} "${KVD_TEST_DIR}/e2e_test.py" -v "${group}_test")
  set_tests_properties(kernel_e2e_${group} PROPERTIES
    ENVIRONMENT "KVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVD_BINARY_DIR=${CMAKE_BINARY_DIR};KVD_PYTHON=${KVD_PYTHON};KVD_KAVELUND=$<TARGET_FILE:kavelund>;KVD_E2E_ROMS=${e2e_rom_dir};KVD_SANITIZED=$<BOOL:${KVD_SANITIZE}>")
endforeach()

# The host layer: a window under Xvfb, input through xdotool, headless runs
# and the disk audio driver.
set(e2e_host_env "KVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVD_KAVELUND=$<TARGET_FILE:kavelund>;KVD_SANITIZED=$<BOOL:${KVD_SANITIZE}>;KVD_E2E_ROMS=${e2e_rom_dir};KVD_SAMPLE_ROM=${CMAKE_BINARY_DIR}/kernel/sysrom.dat;LSAN_OPTIONS=suppressions=${KVD_TEST_DIR}/lsan_host_libraries.supp:print_suppressions=0")
add_test(NAME host_e2e_headless
  COMMAND ${KVD_PYTHON} "${KVD_TEST_DIR}/host_e2e_test.py" -v headless_test)
add_test(NAME host_e2e_window
  COMMAND xvfb-run -a -s "-screen 0 1280x720x24" ${KVD_PYTHON} "${KVD_TEST_DIR}/host_e2e_test.py" -v window_test)
# The sample userland: its text in the window against a render of the font,
# and a key's note through the disk audio driver.
add_test(NAME host_e2e_sample_rom
  COMMAND xvfb-run -a -s "-screen 0 1280x720x24" ${KVD_PYTHON} "${KVD_TEST_DIR}/host_e2e_test.py" -v sample_rom_test)
set_tests_properties(host_e2e_headless host_e2e_window host_e2e_sample_rom PROPERTIES
  ENVIRONMENT "${e2e_host_env}")
