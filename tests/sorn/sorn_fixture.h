// A synthesiser reset to a known state before each test: empty mirror, every
// channel stopped, sfx volume 64, master volume 256. Instruments are written
// into the mirror directly.
#pragma once
#include <cstddef>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "sorn/mixer.h"
#include "sorn/sorn.h"
#include "tools/sornrender/demo_instrument.h"

inline constexpr uint32_t TEST_BASE = AUDIO_DEFAULT_BASE;
inline constexpr uint32_t TEST_TABLES = 0x100000;  // one 256-byte slot per instrument

inline uint32_t test_inst_addr(int inst) {
  return TEST_BASE + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE * uint32_t(inst);
}

inline void poke_ram8(uint32_t addr, uint8_t v) { sorn_memcpy(int32_t(addr), &v, 1); }

struct sorn_fixture : ::testing::Test {
  void SetUp() override {
    sorn_init();
    sorn_mirror_clear();
    std::memset(static_cast<void *>(&mixer), 0, offsetof(sorn_mixer, ram_touched));
    for (int c = 0; c < 2 * SORN_CHANNELS; c++) {
      mixer.channel[c].index = c;
      sorn_point_node_outputs(&mixer.channel[c], c);
    }
    sorn_kill_all_audio();
    poke_ram8(RAM_SFX_VOLUME, 64);
    sorn_set_volume(256);
    sorn_set_stereo_swap(0);
    for (int c = 0; c < SORN_CHANNELS; c++) sorn_set_channel_base_addr(uint32_t(c), TEST_BASE);
  }

  // Instrument inst: node 0 an oscillator on a one-sample table holding value,
  // so node 0 outputs exactly value at note volume 64.
  static void dc_instrument(int inst, int16_t value, bool stereo = false) {
    uint32_t table = TEST_TABLES + 256 * uint32_t(inst);
    sorn_memcpy(int32_t(table), &value, 2);
    demo_node n = demo_osc(0, 0);
    demo_write_instrument(test_inst_addr(inst), &n, 1, stereo ? INST_FLAG_STEREO : 0);
    const uint8_t slot[4] = {uint8_t(table >> 8), uint8_t(table >> 16), 0, 1};
    sorn_memcpy(int32_t(test_inst_addr(inst) + INST_WAVETABLE_SLOTS), slot, 4);
  }

  static void note(int ch, int inst, int pitch = 48, int pan = SORN_NO_PAN) {
    sorn_set_note(ch, pitch, inst, 64, SORN_NOT_GIVEN, 0, 0, pan);
  }

  // Channel c plays a track of speed spd (0 read as 16) at addr whose rows are
  // all skipped: its rows start no notes, so a note set by hand keeps
  // sounding while the track's per-tick effects run.
  static sorn_channel *hand_track(int c, int spd, uint32_t addr = TEST_BASE + AUDIO_TRACKS) {
    sorn_channel *ch = &mixer.channel[c];
    ch->track_playing = 1, ch->spd = spd, ch->track_addr = int32_t(addr);
    ch->track_rows = ch->pattern_rows = 64, ch->skip_rows = 255;
    ch->row = ch->tick_in_row = ch->ticks_played = 0;
    ch->end_row = ch->loop_start = ch->loop_end = 0;
    return ch;
  }

  static std::vector<int16_t> mix(int frames) {
    std::vector<int16_t> out(size_t(frames) * 2 + 2, 0x5A5A);
    sorn_mix(out.data(), frames);
    EXPECT_EQ(out[size_t(frames) * 2], 0x5A5A) << "wrote past the request";
    out.resize(size_t(frames) * 2);
    return out;
  }
};
