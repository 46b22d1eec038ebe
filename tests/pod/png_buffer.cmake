# PNG buffers and fetched-buffer decoding: unit tests, and a check against
# Pillow, ImageMagick and pngcheck through a small driver.
kvd_test(png_buffer_test SOURCES png_buffer_test.cpp fetched_buffer_test.cpp)

add_executable(png_tool ${KVD_TEST_DIR}/png_tool.cpp)
target_compile_options(png_tool PRIVATE ${KVD_WARNINGS})
target_include_directories(png_tool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(png_tool PRIVATE kvd_all)
add_test(NAME png_reference
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/png_check.py $<TARGET_FILE:png_tool>)
