# Captures: unit tests through the file system, the audio path through SDL's
# disk driver, and a check of the written files against Pillow, ImageMagick,
# pngcheck, qoiconv and a QOI reader of our own.
kvd_test(capture_test SOURCES capture_test.cpp)

add_executable(capture_tool ${KVD_TEST_DIR}/capture_tool.cpp)
target_compile_options(capture_tool PRIVATE ${KVD_WARNINGS})
target_include_directories(capture_tool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(capture_tool PRIVATE kvd_all)
add_test(NAME capture_reference
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/capture_check.py $<TARGET_FILE:capture_tool>)

kvd_test(capture_audio_test SOURCES capture_audio_test.cpp LIBS PkgConfig::SDL2)
