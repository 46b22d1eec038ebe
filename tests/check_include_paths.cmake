# Fails when any compile command puts a system copy of Lua's headers on its
# include path: the workstation's Lua changes LUAI_MAXSTACK and the allocator
# interface, so code compiled against the stock headers would silently
# disagree with the library about its structures.
# Usage: cmake -DDB=compile_commands.json -P check_include_paths.cmake
file(READ "${DB}" commands)
string(REGEX MATCHALL "(-I|-isystem|-iquote|-idirafter)[ ]*/usr/(local/)?include/lua[^ \"]*" found "${commands}")
if(found)
  list(REMOVE_DUPLICATES found)
  message(FATAL_ERROR "system Lua headers on an include path: ${found}")
endif()
string(LENGTH "${commands}" n)
if(n EQUAL 0)
  message(FATAL_ERROR "${DB} is empty")
endif()
message(STATUS "no system Lua headers in ${DB}")
