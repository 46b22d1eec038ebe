# The pod binary forms against Python's lz4, struct and base64.
add_executable(pod_forms_tool ${KVD_TEST_DIR}/pod_forms_tool.cpp)
target_compile_options(pod_forms_tool PRIVATE ${KVD_WARNINGS})
target_include_directories(pod_forms_tool PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(pod_forms_tool PRIVATE kvd_all)
add_test(NAME pod_forms_python
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/pod_forms_check.py $<TARGET_FILE:pod_forms_tool>
    ${CMAKE_CURRENT_BINARY_DIR}/pod_forms_work)
