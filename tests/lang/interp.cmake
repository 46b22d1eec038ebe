# Standalone interpreters over the builds of Lua's core: kvd_luai (the
# dialect), kvd_luai_switch (switch dispatch), kvd_luai_assert (Lua's internal
# assertions) and kvd_luai_ref (Debian's fixes alone, stock front end).
set(lang_lua_c "${KVD_LUA_DIR}/src/lua.c")
set_source_files_properties(${lang_lua_c} PROPERTIES LANGUAGE CXX GENERATED ON
  COMPILE_DEFINITIONS "main=lua_stock_main;LUA_COMPAT_5_3;LUA_USE_POSIX")
foreach(variant luai luai_switch luai_assert)
  add_executable(kvd_${variant} ${KVD_TEST_DIR}/luai_main.cpp ${lang_lua_c})
  target_include_directories(kvd_${variant} PRIVATE "${KVD_LUA_DIR}/src" ${CMAKE_SOURCE_DIR})
  target_compile_options(kvd_${variant} PRIVATE -Wno-deprecated-enum-enum-conversion)
endforeach()
target_link_libraries(kvd_luai PRIVATE kvd_stack)
kvd_link_subsystems_with(kvd_luai_switch kvd_lua_switch kvd_stack)
kvd_link_subsystems_with(kvd_luai_assert kvd_lua_assert kvd_stack)

set(lang_ref_lua_c "${KVD_LUA_REF_DIR}/src/lua.c")
set_source_files_properties(${lang_ref_lua_c} PROPERTIES LANGUAGE CXX GENERATED ON)
add_executable(kvd_luai_ref ${lang_ref_lua_c})
target_link_libraries(kvd_luai_ref PRIVATE kvd_lua_ref)

# The allocator's call sequence, printed by the dialect's build and by the
# unpatched build (compared by reference_check.py).
add_executable(kvd_alloc_trace ${KVD_TEST_DIR}/alloc_trace.cpp)
target_compile_definitions(kvd_alloc_trace PRIVATE KVD_ALLOC6=1)
target_include_directories(kvd_alloc_trace PRIVATE "${KVD_LUA_DIR}/src" ${CMAKE_SOURCE_DIR})
target_link_libraries(kvd_alloc_trace PRIVATE kvd_stack)
add_executable(kvd_alloc_trace_ref ${KVD_TEST_DIR}/alloc_trace.cpp)
target_link_libraries(kvd_alloc_trace_ref PRIVATE kvd_lua_ref)

# The dialect's compiler with its listing (-l), for the opcode coverage check.
set(lang_luac_c "${KVD_LUA_DIR}/src/luac.c")
set_source_files_properties(${lang_luac_c} PROPERTIES LANGUAGE CXX GENERATED ON)
add_executable(kvd_luac ${lang_luac_c})
target_include_directories(kvd_luac PRIVATE "${KVD_LUA_DIR}/src" ${CMAKE_SOURCE_DIR})
target_compile_options(kvd_luac PRIVATE -Wno-deprecated-enum-enum-conversion)
target_link_libraries(kvd_luac PRIVATE kvd_stack)

# The interpreters start as fast as a stock one: no host library is linked in
# (checked on optimised builds, whose start-up the benchmarks measure; a
# debug build keeps out-of-line code that references more of the kernel).
if(NOT KVD_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "Rel")
  add_test(NAME lang_luai_libraries
    COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/luai_libraries_check.py
      $<TARGET_FILE:kvd_luai> $<TARGET_FILE:kvd_luai_ref>)
endif()
