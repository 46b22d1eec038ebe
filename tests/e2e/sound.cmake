# The sound functions end to end, on the sound test ROM (packed by e2e.cmake),
# and what stat reports of them.
foreach(group sound sound_stat)
  add_test(NAME kernel_e2e_${group}
    COMMAND ${KVD_PYTHON} "${KVD_TEST_DIR}/sound_e2e_test.py" -v "${group}_test")
  set_tests_properties(kernel_e2e_${group} PROPERTIES
    ENVIRONMENT "KVD_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVD_BINARY_DIR=${CMAKE_BINARY_DIR};KVD_PYTHON=${KVD_PYTHON};KVD_KAVELUND=$<TARGET_FILE:kavelund>;KVD_E2E_ROMS=${e2e_rom_dir};KVD_SANITIZED=$<BOOL:${KVD_SANITIZE}>")
endforeach()
