// The synthesiser as the kernel calls it. Until the synthesiser is built these
// do nothing (sorn/sorn_stubs.cpp): no sound is made and no process owns the audio.
#pragma once
#include <cstdint>

struct proc;

void sorn_init();
void sorn_kill_all_audio();
void sorn_set_volume(int32_t volume);
void sorn_set_stereo_swap(int32_t swap);
// Default wavetable and audio data written into a new process's memory.
void generate_default_wavetable(proc *p);
void generate_default_audio_data(proc *p);
// 0 with the audio lock held when the caller may touch the synthesiser, 1
// when it must not; with no synthesiser the answer is always 1.
int audio_op_start(int64_t id, int force);
void audio_op_end();
