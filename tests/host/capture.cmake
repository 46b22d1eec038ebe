# Captures: unit tests through the file system, the audio path through SDL's
# disk driver, and a check of the written files against Pillow, ImageMagick,
# pngcheck, qoiconv and a QOI reader of our own.
kvd_test(capture_test SOURCES capture_test.cpp)
