kvd_test(lua_build_test SOURCES lua_build_test.cpp)
