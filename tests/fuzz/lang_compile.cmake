# Each input may run up to 16 budgeted resumes with a full collection after
# each, on the build with Lua's internal assertions: fewer inputs under ctest.
kvd_fuzz(lang_compile_fuzz SOURCES lang_compile_fuzz.cpp LUA kvd_lua_assert DICT lang_compile.dict
  RUNS 50000)
