// Do-nothing synthesiser calls, until the synthesiser is built.
#include "sorn/sorn.h"

void sorn_init() {}
void sorn_kill_all_audio() {}
void sorn_set_volume(int32_t) {}
void sorn_set_stereo_swap(int32_t) {}
void generate_default_wavetable(proc *) {}
void generate_default_audio_data(proc *) {}
int audio_op_start(int64_t, int) { return 1; }
void audio_op_end() {}
