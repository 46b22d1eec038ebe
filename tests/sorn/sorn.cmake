kvd_test(sorn_mixer_test SOURCES mixer_test.cpp)
kvd_test(sorn_voice_test SOURCES voice_test.cpp)
kvd_test(sorn_vector_loop_test SOURCES vector_loop_test.cpp)
# Rendered output measured by numpy and sox; default wavetables against a model.
add_test(NAME sorn_render_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/render_check.py $<TARGET_FILE:sornrender>
    ${CMAKE_CURRENT_BINARY_DIR}/sorn_render_work ${CMAKE_SOURCE_DIR}/tests/machine/xoshiro_ref.py)
kvd_test(sorn_default_audio_test SOURCES default_audio_test.cpp)
kvd_test(sorn_sequencer_test SOURCES sequencer_test.cpp)
# Tracks and music rendered by the render tool, measured by numpy and sox.
add_test(NAME sorn_sequencer_render_check
  COMMAND ${KVD_PYTHON} ${KVD_TEST_DIR}/sequencer_render_check.py $<TARGET_FILE:sornrender>
    ${CMAKE_CURRENT_BINARY_DIR}/sorn_sequencer_work)
