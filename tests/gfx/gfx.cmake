# Graphics: the pixel pipeline, the rasteriser, blits and textured lines, the
# output frame (checked against SDL's own palette conversion), and golden
# pictures compared index for index through Pillow.
kvd_test(gfx_pixel_test SOURCES pixel_test.cpp)
kvd_test(gfx_shapes_test SOURCES shapes_test.cpp)
kvd_test(gfx_blit_test SOURCES blit_test.cpp)
kvd_test(gfx_video_test SOURCES video_test.cpp LIBS PkgConfig::SDL2)
kvd_test(gfx_golden_test SOURCES golden_test.cpp)
kvd_test(gfx_draw_api_test SOURCES draw_api_test.cpp)
kvd_test(gfx_print_test SOURCES print_test.cpp)
kvd_test(gfx_map_test SOURCES map_test.cpp)
kvd_test(gfx_draw_bounds_test SOURCES draw_bounds_test.cpp)
