// The mixer and channel mixing: output bounds, mute, master volume, stereo
// swap, fades, chunked requests, gain and pan, and refused arguments.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "sorn/audio_lock.h"
#include "sorn/node_tree.h"
#include "sorn/osc.h"
#include "sorn/vector_loop.h"
#include "tests/sorn/sorn_fixture.h"

// Runs first, before any fixture re-points buffers: straight after sorn_init a
// note on an echo instrument (which clears the echo's buffer) must find every
// output in place.
TEST(SornInit, NodeOutputsInPlaceBeforeAnyMix) {
  sorn_init();
  for (int c = 0; c < 2 * SORN_CHANNELS; c++)
    for (int k = 0; k < SORN_MAX_CHANNEL_NODES; k++)
      ASSERT_EQ(mixer.channel[c].node_state[k].output,
                mixer.node_output[c * SORN_MAX_CHANNEL_NODES + k]);
  demo_node nodes[3] = {demo_container(), demo_osc(0, 0), demo_fx(0, NODE_ECHO, 10, 100)};
  demo_write_instrument(AUDIO_INSTRUMENTS + 2 * AUDIO_INSTRUMENT_SIZE, nodes, 3);
  mixer.node_output[5 * SORN_MAX_CHANNEL_NODES + 2][100] = 1234;
  sorn_set_note(5, 48, 2, 64, SORN_NOT_GIVEN, 0, 0, SORN_NO_PAN);
  EXPECT_EQ(mixer.node_output[5 * SORN_MAX_CHANNEL_NODES + 2][100], 0);
  sorn_init();  // a second call changes nothing
  EXPECT_EQ(mixer.channel[5].inst, 2);
}

using SornMixer = sorn_fixture;

TEST_F(SornMixer, SumIsClampedToSymmetricRange) {
  struct {
    int16_t each;
    int16_t expect;
  } cases[] = {{20000, 32767}, {-20000, -32767}, {-16384, -32767}, {-16383, -32766}};
  for (auto c : cases) {
    SetUp();
    dc_instrument(1, c.each, true);
    note(0, 1);
    note(1, 1);
    auto out = mix(512);
    EXPECT_EQ(out[2 * 400], c.expect) << c.each;
    EXPECT_EQ(out[2 * 400 + 1], 0);
    for (int16_t s : out) EXPECT_GE(s, -32767);
  }
}

TEST_F(SornMixer, StereoSwapMovesLeftToRight) {
  dc_instrument(1, 12000, true);
  note(0, 1);
  sorn_set_stereo_swap(1);
  auto out = mix(512);
  EXPECT_EQ(out[2 * 400], 0);
  EXPECT_EQ(out[2 * 400 + 1], 12000);
}

TEST_F(SornMixer, MasterVolumeOnlySilencesAtZero) {
  demo_node nodes[2] = {demo_container(), demo_osc(0, 0)};
  auto render = [&](int vol) {
    SetUp();
    demo_write_instrument(test_inst_addr(1), nodes, 2);
    for (int i = 0; i < 1024; i++) {
      int16_t s = int16_t((i * 64) - 32768);
      sorn_memcpy(int32_t(RAM_WAVE_ROWS + 2 * i), &s, 2);
    }
    note(0, 1, 60);
    sorn_set_volume(vol);
    return mix(1000);
  };
  auto full = render(256);
  EXPECT_EQ(render(1), full);
  EXPECT_NE(*std::max_element(full.begin(), full.end()), 0);
  auto silent = render(0);
  EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](int16_t s) { return s == 0; }));
  EXPECT_EQ(mixer.channel[0].tick_pos, 1000 - 2 * 367);  // the channel went on
  EXPECT_EQ(render(-5), silent);
  EXPECT_EQ(render(100000), full);
}

TEST_F(SornMixer, MuteBitFreezesEverything) {
  dc_instrument(1, 5000);
  note(0, 1);
  mix(300);
  int32_t pos = mixer.channel[0].tick_pos, phase = mixer.tick_phase;
  poke_ram8(RAM_PROCESS_FLAGS, PFLAG_MUTE_AUDIO);
  for (int i = 0; i < 3; i++) {
    auto out = mix(200);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t s) { return s == 0; }));
  }
  EXPECT_EQ(mixer.channel[0].tick_pos, pos);
  EXPECT_EQ(mixer.tick_phase, phase);
  EXPECT_EQ(last_num_samples_mixed, 300);
  EXPECT_EQ(last_mixed_out[0], 0);
  poke_ram8(RAM_PROCESS_FLAGS, 0);
  auto out = mix(10);
  EXPECT_EQ(out[0], 3994);  // 5000 at the centre pan: 3272 / 4096
  // A call of no frames writes nothing and is the last mix, of 0 frames.
  pos = mixer.channel[0].tick_pos;
  mix(0);
  EXPECT_EQ(last_num_samples_mixed, 0);
  EXPECT_EQ(mixer.channel[0].tick_pos, pos);
}

TEST_F(SornMixer, FadeStepsRunPerTickBeforeMixing) {
  mixer.fade_len = 4, mixer.fade_from = 0, mixer.fade_to = 256;
  int expect[] = {0, 64, 128, 256};
  for (int v : expect) {
    mix(367);
    EXPECT_EQ(mixer.fade_vol, v);
    EXPECT_EQ(mixer.tick_phase, 0);
  }
  EXPECT_EQ(mixer.fade_len, 0);
  mixer.fade_len = 4, mixer.fade_tick = 0;
  mix(512);
  EXPECT_EQ(mixer.tick_phase, 145);
  EXPECT_EQ(mixer.fade_tick, 1);
}

// One call of any size gives the same stream as many small calls.
TEST_F(SornMixer, LargeRequestsEqualSmallOnes) {
  demo_node nodes[3] = {demo_container(), demo_osc(0, 20), demo_fx(0, NODE_ECHO, 3, 120)};
  auto render = [&](int chunk, int total) {
    SetUp();
    demo_write_instrument(test_inst_addr(1), nodes, 3);
    for (int i = 0; i < 1024; i++) {
      int16_t s = int16_t((i % 100) * 600 - 30000);
      sorn_memcpy(int32_t(RAM_WAVE_ROWS + 2048 * 20 + 2 * i), &s, 2);
    }
    note(0, 1, 50);
    note(3, 1, 62, 40);
    std::vector<int16_t> all;
    for (int done = 0; done < total; done += chunk) {
      auto part = mix(std::min(chunk, total - done));
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  };
  auto small = render(512, 20000);
  EXPECT_EQ(render(8192, 20000), small);
  EXPECT_EQ(render(20000, 20000), small);
  EXPECT_NE(small[2 * 19999], 0);
}

TEST_F(SornMixer, CentredMonoGainAndPanRamp) {
  dc_instrument(1, 10000);
  note(0, 1);
  auto out = mix(367);
  EXPECT_LT(out[2 * 100], out[2 * 300]);  // the first chunk ramps up from 0
  out = mix(10);
  EXPECT_EQ(out[0], 7988);  // (3272 * 10000) / 4096 once the ramp settled
  EXPECT_EQ(out[1], 7988);
  // Full right: the next chunk moves linearly to 0 on the left, 9997 on the right.
  note(0, 1, 48, 127);
  out = mix(357);  // the pan is taken at the next tick
  EXPECT_EQ(out[2 * 356], 7988);
  out = mix(367);
  EXPECT_EQ(out[0], 7988);
  for (int i = 1; i < 367; i++) {
    int dl = out[2 * i - 2] - out[2 * i], dr = out[2 * i + 1] - out[2 * i - 1];
    EXPECT_TRUE(dl >= 0 && dl <= 30) << "left steps by " << dl << " at " << i;
    EXPECT_TRUE(dr >= 0 && dr <= 30) << "right steps by " << dr << " at " << i;
  }
  out = mix(10);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 9997);  // 4095 / 4096
}

// The loudest gain, 4064 (sfx and mix volume 255): stereo results are clamped,
// and the mono pan factors (4096 x 4064 x 256) need more than 32 bits.
TEST_F(SornMixer, LoudestGainIsClamped) {
  struct {
    int16_t v;
    bool stereo;
    int expect;
  } cases[] = {{32767, true, 32767},
               {-32767, true, -32767},
               {2000, true, 2000 * 4064 / 256},
               {2000, false, 51943 * 2000 / 4096},
               {-32767, false, -32767}};
  for (auto c : cases) {
    SetUp();
    poke_ram8(RAM_SFX_VOLUME, 255);
    dc_instrument(1, c.v, c.stereo);
    note(0, 1);
    sorn_set_channel_mix_vol(0, 255);
    mix(400);
    auto out = mix(10);
    EXPECT_EQ(out[0], c.expect) << c.v << (c.stereo ? " stereo" : " mono");
  }
}

TEST_F(SornMixer, OutOfRangeChannelsAndInstrumentsAreRefused) {
  dc_instrument(1, 10000);
  note(2, 1);
  sorn_channel before = mixer.channel[2];
  for (int ch : {16, 17, -2, 1000, -100000}) note(ch, 1);
  EXPECT_EQ(mixer.channel[2].inst, before.inst);
  for (int inst : {256, -1, 100000}) {
    note(2, 1);
    sorn_set_channel_mix_vol(2, 30);
    note(2, inst);
    EXPECT_EQ(mixer.channel[2].inst, 255) << inst;
    EXPECT_EQ(mixer.channel[2].note_on, 0);
    EXPECT_EQ(mixer.channel[2].mix_vol, 64);
  }
  sorn_set_channel_mix_vol(16, 5);
  sorn_set_channel_mix_vol(0xFFFFFFFFu, 5);
  sorn_set_channel_base_addr(16, 5);
  for (int c = 0; c < SORN_CHANNELS; c++) EXPECT_EQ(mixer.channel[c].mix_vol, 64);
  sorn_set_channel_mix_vol(3, 300);
  EXPECT_EQ(mixer.channel[3].mix_vol, 44);
  struct {
    int32_t in, out;
  } bases[] = {{0xF00001, 0xF00000}, {-5, 0}, {0x1234, 0x1234}, {INT32_MAX, 0xF00000}};
  for (auto b : bases) {
    sorn_set_channel_base_addr(1, b.in);
    EXPECT_EQ(mixer.channel[1].base_addr, b.out);
  }
  // Channel -1 stops every channel.
  note(4, 1);
  note(-1, 1);
  for (int c = 0; c < SORN_CHANNELS; c++) EXPECT_EQ(mixer.channel[c].inst, 255);
  auto out = mix(400);
  EXPECT_TRUE(std::all_of(out.begin() + 200, out.end(), [](int16_t s) { return s == 0; }));
}

// Effect parameters beyond a byte are masked before they index the tables.
TEST_F(SornMixer, WideEffectParametersAreMasked) {
  dc_instrument(1, 10000);
  for (int fx : {'v', 't', 'w', 'a', 'o', '<'}) {
    sorn_set_note(0, 48, 1, 64, fx, 0x12345, 0, SORN_NO_PAN);
    EXPECT_EQ(mixer.channel[0].fxp, 0x45);
    mixer.channel[0].fxp = 0x7FFFFFFF;
    hand_track(0, 0);
    mix(800);
    mixer.channel[0].track_playing = 0;
  }
}

// A change of sound at a tick boundary fades from the old to the new over 64
// samples, from the shadow's continuation of the old tick.
TEST_F(SornMixer, TickBoundaryCrossfade) {
  dc_instrument(1, 8192, true);
  dc_instrument(2, -8192, true);
  note(0, 1);
  mix(367);
  note(0, 2);
  auto out = mix(100);
  for (int i = 0; i < 64; i++) EXPECT_EQ(out[2 * i], (8192 * (64 - i) - 8192 * i) >> 6) << i;
  EXPECT_EQ(out[2 * 64], -8192);
}

TEST_F(SornMixer, TrackEndRowSendsOneNoteOff) {
  dc_instrument(1, 1000);
  note(0, 1);
  sorn_channel *ch = hand_track(0, 2);
  ch->end_row = 4;
  mix(367 * 7);
  EXPECT_EQ(ch->row, 3);
  EXPECT_EQ(ch->note_on, 1);
  mix(367);
  EXPECT_EQ(ch->row, 4);
  EXPECT_EQ(ch->track_playing, 0);
  EXPECT_EQ(ch->note_on, 0);
  EXPECT_EQ(ch->ticks_released, 0);  // released after the tick was rendered
  mix(367 * 4);
  EXPECT_EQ(ch->row, 4);
  EXPECT_EQ(ch->ticks_released, 4);
}

// Per-tick effects, read from node 0's evaluated amplitude and pitch: node 0
// multiplies the root amplitude by 1.0 and adds 0 to its pitch.
TEST_F(SornMixer, TickEffects) {
  dc_instrument(1, 1000);
  sorn_channel *ch = &mixer.channel[0];
  const sorn_node_state *n0 = &ch->node_state[0];
  auto tick = [] { mix(367); };
  // Vibrato with parameter 0: speed index 10 (16 << 8 a tick), depth 40.
  sorn_set_note(0, 48, 1, 64, 'v', 0, 0, SORN_NO_PAN);
  tick();
  tick();
  EXPECT_EQ(ch->fx_phase, 2 * (16 << 8));
  int64_t s = int64_t(std::sin(2 * (16 << 8) * 3.141562 / 65536) * 65536.0);
  EXPECT_EQ(n0->val[3], 40 * s * 2);
  // Upper-case "V" does nothing; "<" does nothing without a track.
  for (int fx : {'V', 'T', 'W', '<', '>'}) {
    sorn_set_note(0, 48, 1, 64, fx, 0x80, 0, SORN_NO_PAN);
    tick();
    EXPECT_EQ(n0->val[0], 64 << 16) << char(fx);
    EXPECT_EQ(n0->val[3], 0) << char(fx);
  }
  // Arpeggio "a" at speed 8: a step every 2 ticks; 0x37 plays base, +3, +7.
  hand_track(0, 8);
  for (int fx : {'a', 'A'}) {
    sorn_set_note(0, 48, 1, 64, fx, 0x37, 0, SORN_NO_PAN);
    ch->arp_step = ch->arp_tick = 0;
    int lower[] = {48, 48, 51, 51, 55, 55, 48}, upper[] = {55, 55, 51, 51, 48, 48, 55};
    for (int t = 0; t < 7; t++) {
      tick();
      EXPECT_EQ(n0->val[2], (fx == 'a' ? lower[t] : upper[t]) << 16) << char(fx) << t;
    }
  }
  // Fade in "<" 0x80 at speed 16: from half volume up by (V - V/2) / 16 a tick.
  ch->spd = 16, ch->tick_in_row = 0;
  sorn_set_note(0, 48, 1, 64, '<', 0x80, 0, SORN_NO_PAN);
  ch->tick_in_row = 0;
  const int32_t v = 64 << 16;
  for (int t = 0; t < 16; t++) {
    tick();
    int32_t expect = std::min(v, v / 2 + (v - v / 2) / 16 * t);
    EXPECT_EQ(n0->val[0], expect & ~0x7FF) << t;
  }
  EXPECT_EQ(ch->vol_fx, v / 2 + (v - v / 2) / 16 * 15);
}

// Row-group arpeggios, alternation, tremolo and fade out, read from node 0's
// evaluated amplitude and pitch tick by tick (node 0 passes the root through,
// the amplitude with its low 11 bits cleared).
TEST_F(SornMixer, TrackTickEffects) {
  dc_instrument(1, 1000);
  sorn_channel *ch = &mixer.channel[0];
  const sorn_node_state *n0 = &ch->node_state[0];
  const int32_t full = 64 << 16;
  struct {
    int fx, fxp, spd;
    int32_t amp[8], pitch[8];
  } cases[] = {
      // Parameter 0: the pitches of the row group, 2 ticks a step; row 1 is empty.
      {'a', 0x00, 8, {full, full, 0, 0, full, full, full, full}, {60, 60, 0, 0, 62, 62, 64, 64}},
      // "o" raises by 3 while its phase is 1, "O" while 0; 0x32 at speed 8 flips every tick.
      {'o', 0x32, 8, {full, full, full, full}, {48, 51, 48, 51}},
      {'O', 0x32, 8, {full, full, full, full}, {51, 48, 51, 48}},
      // Without a raise the other phase is silent; period 2 at speed 16.
      {'o', 0x02, 16, {full, full, 0, 0, full, full, 0, 0}, {48, 48, 48, 48, 48, 48, 48, 48}},
      // Fade out 0x42: by 64 * 2 << 8 a tick, down to a quarter.
      {'>', 0x42, 16, {full, full - 32768, full - 65536}, {48, 48, 48}},
      {'>', 0xE0, 2, {full, full - (full - 14 * full / 16) / 2}, {48, 48}},
  };
  const uint32_t track = TEST_BASE + AUDIO_TRACKS;
  const uint8_t rows[4] = {60, 255, 62, 64};
  sorn_memcpy(int32_t(track + 8), rows, 4);
  for (const auto &c : cases) {
    sorn_set_note(0, 48, 1, 64, c.fx, c.fxp, 0, SORN_NO_PAN);
    hand_track(0, c.spd, track);
    ch->alt_state = ch->alt_tick = ch->arp_step = ch->arp_tick = 0;
    for (int t = 0; t < 8 && (t == 0 || c.pitch[t] != 0 || c.amp[t] != 0); t++) {
      mix(367);
      EXPECT_EQ(n0->val[0], c.amp[t]) << char(c.fx) << " " << c.fxp << " tick " << t;
      EXPECT_EQ(n0->val[2], c.pitch[t] << 16) << char(c.fx) << " " << c.fxp << " tick " << t;
    }
  }
  ch->track_playing = 0;
  // Tremolo 0x4A: phase 4 << 8 a tick, depth 128; "w" also moves the fine pitch.
  for (int fx : {'t', 'w'}) {
    sorn_set_note(0, 48, 1, 64, fx, 0x4A, 1, SORN_NO_PAN);  // retriggered: phase 0
    mix(367);
    EXPECT_EQ(n0->val[0], full);
    mix(367);
    int64_t sn = int64_t(std::sin(2 * 1024 * 3.141562 / 65536) * 65536.0);
    EXPECT_EQ(n0->val[0], (full + (int64_t(full >> 8) * (sn >> 8) * 128) / 256) & ~0x7FF);
    EXPECT_EQ(n0->val[3], fx == 'w' ? 64 * sn * 2 : 0);  // vibrato depth 64
    EXPECT_EQ(ch->fx_phase, 2 * 1024);
  }
}

// When a note restarts its oscillator phase (a retrigger) and when it does not.
TEST_F(SornMixer, RetriggerRules) {
  struct {
    const char *what;
    int pitch, fx, retrig;
    uint8_t inst_flags;
    bool restarts;
  } cases[] = {
      {"same pitch", 48, 255, 0, 0, false},     {"new pitch", 50, 255, 0, 0, true},
      {"retrig argument", 48, 255, 1, 0, true}, {"effect r", 48, 'r', 0, 0, true},
      {"instrument flag", 48, 255, 0, 1, true}, {"slide keeps", 50, 's', 0, 0, false},
  };
  for (const auto &c : cases) {
    SetUp();
    dc_instrument(1, 1000);
    poke_ram8(test_inst_addr(1) + INST_FLAGS, c.inst_flags);
    note(0, 1);
    mix(500);
    uint64_t phase = mixer.channel[0].node_state[0].phase;
    ASSERT_NE(phase, 0u);
    sorn_set_note(0, c.pitch, 1, 64, c.fx, 0, c.retrig, SORN_NO_PAN);
    EXPECT_EQ(mixer.channel[0].node_state[0].phase == 0, c.restarts) << c.what;
  }
  // A release keeps pitch and phase.
  uint64_t phase = mixer.channel[0].node_state[0].phase;
  sorn_set_note(0, 255, 255, 255, 255, 255, 0, SORN_NO_PAN);
  EXPECT_EQ(mixer.channel[0].note_on, 0);
  EXPECT_EQ(mixer.channel[0].ticks_released, 0);
  EXPECT_EQ(mixer.channel[0].pitch, 50);
  EXPECT_EQ(mixer.channel[0].node_state[0].phase, phase);
  // A reset leaves no instrument (255), which switches every node off.
  note(0, 300);
  for (int k = 0; k < SORN_INST_NODES; k++) EXPECT_EQ(mixer.channel[0].node_state[k].kind, 0);
}

TEST(SornAudioLock, NestsAndExcludesOtherThreads) {
  std::atomic<int> got{0};
  sorn_lock_audio();
  sorn_lock_audio();
  std::thread other([&] {
    sorn_lock_audio();
    got = 1;
    sorn_unlock_audio();
  });
  sorn_unlock_audio();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(got.load(), 0) << "taken while the outer level was still held";
  sorn_unlock_audio();
  other.join();
  EXPECT_EQ(got.load(), 1);
}

// After every tick boundary a shadow's echo rings equal its channel's, however
// the ring was written: echoes of varying delay, a muted echo that is cleared
// and combined into, stereo twins, and instrument changes.
TEST_F(SornMixer, ShadowEchoRingsFollowTheirChannel) {
  demo_node a[6] = {demo_container(),
                    demo_osc(0, 20),
                    demo_fx(0, NODE_ECHO, 3, 200),
                    demo_fx(0, NODE_ECHO, 250, 100),
                    demo_osc(2, 20),
                    demo_fx(0, NODE_ECHO, 1, 250)};
  a[3].flags = NODE_FLAG_MUTE;
  demo_write_instrument(test_inst_addr(1), a, 6);
  demo_write_instrument(test_inst_addr(2), a, 4, INST_FLAG_STEREO);
  for (int i = 0; i < 1024; i++) {
    int16_t s = int16_t((i * 97 % 1024) * 60 - 30000);
    sorn_memcpy(int32_t(RAM_WAVE_ROWS + 2048 * 20 + 2 * i), &s, 2);
  }
  note(0, 1, 50);
  note(5, 2, 57);
  const int chunks[] = {100, 1000, 5000, 367, 8000, 1};
  for (int round = 0; round < 24; round++) {
    if (round == 8) note(0, 2, 40);
    if (round == 16) note(5, 1, 70);
    mix(chunks[round % 6]);
    for (int c : {0, 5}) {
      const sorn_channel *ch = &mixer.channel[c], *sh = &mixer.channel[c + SORN_CHANNELS];
      for (int k = 0; k < SORN_MAX_CHANNEL_NODES; k++) {
        if (ch->node_state[k].kind != NODE_ECHO) continue;
        ASSERT_EQ(std::memcmp(ch->node_state[k].output, sh->node_state[k].output,
                              SORN_NODE_BUFFER * sizeof(int16_t)),
                  0)
            << "round " << round << " channel " << c << " node " << k;
      }
    }
  }
}

// A music channel out of pattern ticks with no next pattern holds every
// channel at the boundary; what no channel reached is silence, not a repeat
// of the previous call's samples.
TEST_F(SornMixer, StuckPatternGivesSilenceNotStaleSamples) {
  dc_instrument(1, 10000);
  note(0, 1);
  note(1, 1);
  mix(1000);
  mixer.channel[0].music_channel = 1;
  mixer.channel[0].pattern_ticks_left = 0;
  mixer.fade_vol = 256;
  poke_ram8(RAM_MUSIC_VOLUME, 64);
  int32_t left = mixer.channel[0].tick_end - mixer.channel[0].tick_pos;
  auto out = mix(500);
  EXPECT_NE(out[2 * (left - 1)], 0);
  for (int i = left; i < 500; i++) ASSERT_EQ(out[2 * i], 0) << i;
}

TEST_F(SornMixer, MirrorWritesWrapAtTheTop) {
  sorn_memset(0xFFFFFE, 7, 4);
  EXPECT_EQ(mixer.ram[0xFFFFFE], 7);
  EXPECT_EQ(mixer.ram[0xFFFFFF], 7);
  EXPECT_EQ(mixer.ram[0], 7);
  EXPECT_EQ(mixer.ram[1], 7);
  EXPECT_EQ(mixer.ram[2], 0);
  sorn_memset(INT32_MAX, 9, 2);  // address 0xFFFFFF, then 0
  EXPECT_EQ(mixer.ram[0xFFFFFF], 9);
  EXPECT_EQ(mixer.ram[0], 9);
  const uint8_t b[3] = {1, 2, 3};
  sorn_memcpy(-1, b, 3);
  EXPECT_EQ(mixer.ram[0xFFFFFF], 1);
  EXPECT_EQ(mixer.ram[1], 3);
  sorn_memset(0, 5, RAM_SIZE);
  EXPECT_EQ(mixer.ram[0x123456], 5);
}

// Busy scenes (every note below unity, so nothing saturates) rendered for two
// seconds in the audio device's 512-frame calls, against the hashes of their
// samples as first recorded: any change to the arithmetic of the oscillator,
// the buffer operations, the effects or the channel output shows here as a
// different hash.
TEST_F(SornMixer, BusyScenesRenderTheirRecordedSamples) {
  // Every loop in both its copies, where the processor has AVX2.
  for (bool avx2 : {true, false}) {
    SetUp();
    sorn_use_avx2(avx2);
    ASSERT_TRUE(demo_mirror_defaults());
    demo_node mono[8] = {demo_container(),        demo_osc(0, 10),
                         demo_osc(1, 0, 1, 12),   demo_osc(0, 100, 0, 7),
                         demo_osc(0, 0, 0, 0, 1), demo_fx(0, 8, 40, 30, 20),
                         demo_fx(0, 9, 20, 100),  demo_fx(0, 10, 60, 40, 30, 64)};
    mono[4].mval[0][1] = 8;  // quiet noise
    // Stereo: children of node 0 panned apart and folded in by every op.
    demo_node stereo[8] = {demo_container(),        demo_osc(0, 40),
                           demo_osc(0, 90, 2, 5),   demo_osc(0, 200, 3, -12),
                           demo_osc(0, 150, 4, 19), demo_fx(0, 8, 90, 10, 120),
                           demo_fx(0, 9, 60, 160),  demo_fx(0, 10, 200, 250, 90, 40)};
    stereo[1].mval[1][0] = 0x00, stereo[1].mval[1][1] = 0xA0;  // pan -96
    stereo[3].mval[1][0] = 0x00, stereo[3].mval[1][1] = 0x50;  // pan 80
    uint32_t inst1 = TEST_BASE + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE;
    demo_write_instrument(inst1, mono, 8);
    demo_write_instrument(inst1 + AUDIO_INSTRUMENT_SIZE, stereo, 8, INST_FLAG_STEREO);
    struct {
      int inst, fx, fxp;
      uint64_t hash;
    } scenes[] = {{1, 'v', 0x46, 0x1a5e54324366d34e}, {2, 'w', 0x83, 0xe98ac9c2762c89fb}};
    for (const auto &s : scenes) {
      for (int c = 0; c < SORN_CHANNELS; c++) {
        sorn_set_channel_mix_vol(uint32_t(c), 16 + c);
        sorn_set_note(c, 36 + 3 * c, s.inst, 20 + 2 * c, s.fx, s.fxp, 1, c * 16 - 120);
      }
      uint64_t h = 1469598103934665603u;  // FNV-1a over the output bytes
      for (int call = 0; call < 2 * 44100 / 512; call++)
        for (int16_t v : mix(512)) {
          for (int b = 0; b < 2; b++) h = (h ^ uint8_t(uint16_t(v) >> (8 * b))) * 1099511628211u;
        }
      EXPECT_EQ(h, s.hash) << "avx2 " << avx2 << " inst " << s.inst << std::hex << " hash 0x" << h;
    }
  }
  sorn_use_avx2(true);
}

// Random trees of every node kind, op, flag and wavetable slot (the default
// rows, the noise, a row wrapping at the top of memory), random envelopes and
// notes on all 16 channels, mono and stereo, changed between mixes of random
// lengths: the hash of every sample as first recorded. A faster path that
// differs from the plain one in any case it takes shows here.
static uint64_t random_trees_hash() {
  EXPECT_TRUE(demo_mirror_defaults());
  std::mt19937 rng(11);
  std::srand(1);
  // A container below the top keeps what its buffer held: start from silence.
  std::memset(mixer.node_output, 0, sizeof mixer.node_output);
  const uint8_t kinds[] = {NODE_OFF, NODE_CONTAINER, NODE_OSC,  NODE_OSC,
                           NODE_OSC, NODE_FILTER,    NODE_ECHO, NODE_GAIN};
  const uint8_t slots[4][4] = {{0x00, 0xF8, 0x0A, 0x00},
                               {0x80, 0xF7, 0x0D, 0x01},
                               {0xFF, 0xFF, 0x04, 0x03},
                               {0, 0xF8, 2, 7}};
  uint64_t h = 1469598103934665603u;  // FNV-1a over the output bytes
  for (int round = 0; round < 24; round++) {
    for (int inst = 1; inst <= 2; inst++) {
      uint8_t rec[AUDIO_INSTRUMENT_SIZE];
      for (auto &b : rec) b = uint8_t(rng());
      for (int k = 0; k < SORN_INST_NODES; k++) {
        uint8_t *d = rec + INST_NODE_DEF_SIZE * uint32_t(k);
        d[0] = uint8_t((rng() % 4 ? rng() % (k + 1) : 15) | (rng() % 5) << 4);
        d[1] = uint8_t(kinds[rng() % 8] | (rng() % 4) << 4);
        d[2] &= NODE_FLAG_KEEP_PHASE | (rng() % 8 ? 0 : NODE_FLAG_MUTE);
        d[4] &= 0x37;  // amplitude: no envelope scale beyond the tree's
        d[5] &= 0x7F;
      }
      for (int e = 0; e < 8; e++) rec[INST_ENVELOPES + INST_ENVELOPE_SIZE * e] %= 3;
      rec[INST_FLAGS] = uint8_t(rng() % 2 ? INST_FLAG_STEREO : 0);
      for (int s = 0; s < 4; s++)
        std::memcpy(rec + INST_WAVETABLE_SLOTS + 4 * s, slots[rng() % 4], 4);
      sorn_memcpy(int32_t(test_inst_addr(inst)), rec, int32_t(sizeof rec));
    }
    for (int c = 0; c < SORN_CHANNELS; c++) {
      if (rng() % 3 == 0) continue;
      const char fx[] = {0, 'v', 't', 'w', 'a', 's', 'r'};
      sorn_set_channel_mix_vol(uint32_t(c), int32_t(rng() % 64));
      sorn_set_note(c, int32_t(24 + rng() % 60), int32_t(1 + rng() % 2), int32_t(rng() % 80),
                    fx[rng() % 7], int32_t(rng() % 256), int32_t(rng() % 2),
                    rng() % 2 ? SORN_NO_PAN : int32_t(rng() % 255) - 127);
    }
    for (int16_t v : sorn_fixture::mix(int(1 + rng() % 3000)))
      for (int b = 0; b < 2; b++) h = (h ^ uint8_t(uint16_t(v) >> (8 * b))) * 1099511628211u;
  }
  return h;
}

TEST_F(SornMixer, RandomTreesRenderTheirRecordedSamples) {
  // Every loop in both its copies, where the processor has AVX2.
  for (bool avx2 : {true, false}) {
    SetUp();
    sorn_use_avx2(avx2);
    EXPECT_EQ(random_trees_hash(), 0x4ff29a38c025c134u) << "avx2 " << avx2;
  }
  sorn_use_avx2(true);
}
// Hostile scenes: whole instrument records of random bytes (every node kind,
// op, flag, parameter byte and envelope at its limits), notes at both ends of
// the pitch range, channels with no instrument or a reset one, speed-1 tracks
// of random rows, and between mixes of random lengths: instrument bytes and
// wavetable rows rewritten, nodes muted and unmuted, the mirror cleared and
// refilled as when the audio changes owner. The hash of every sample.
static uint64_t hostile_scenes_hash(uint32_t seed, int rounds) {
  EXPECT_TRUE(demo_mirror_defaults());
  std::mt19937 rng(seed);
  std::srand(seed);
  std::memset(mixer.node_output, 0, sizeof mixer.node_output);
  uint64_t h = 1469598103934665603u;
  auto write_inst = [&](int inst) {
    uint8_t rec[AUDIO_INSTRUMENT_SIZE];
    for (auto &b : rec) b = uint8_t(rng());
    for (int k = 0; k < SORN_INST_NODES; k++) {
      uint8_t *d = rec + INST_NODE_DEF_SIZE * uint32_t(k);
      if (rng() % 3) d[0] = uint8_t((d[0] & 0xF0) | (rng() % 2 ? rng() % (k + 1) : 15));
      const uint8_t edge[] = {0, 1, 0x7F, 0x80, 0xFE, 0xFF};
      for (int b = 3; b < int(INST_NODE_DEF_SIZE); b++)
        if (rng() % 3 == 0) d[b] = edge[rng() % 6];
    }
    sorn_memcpy(int32_t(test_inst_addr(inst)), rec, int32_t(sizeof rec));
  };
  for (int inst = 0; inst < 4; inst++) write_inst(inst);
  uint8_t track[AUDIO_TRACK_SIZE];
  for (auto &b : track) b = uint8_t(rng());
  sorn_memcpy(int32_t(TEST_BASE + AUDIO_TRACKS), track, int32_t(sizeof track));
  const uint32_t top_row = RAM_SIZE - 2048;
  for (int round = 0; round < rounds; round++) {
    int c = int(rng() % SORN_CHANNELS);
    switch (rng() % 8) {
      case 0:
        write_inst(int(rng() % 4));
        break;
      case 1: {  // wavetable rows rewritten under the playing notes
        uint8_t row[2048];
        for (auto &b : row) b = uint8_t(rng() % 2 ? rng() : (rng() % 2 ? 0x7F : 0x80));
        uint32_t at = rng() % 2 ? top_row : RAM_WAVE_ROWS + 2048 * (rng() % 256);
        sorn_memcpy(int32_t(at), row, int32_t(sizeof row));
        break;
      }
      case 2: {  // one node byte of a playing instrument flipped
        uint8_t b = uint8_t(rng());
        sorn_memcpy(int32_t(test_inst_addr(int(rng() % 4)) + rng() % AUDIO_INSTRUMENT_SIZE), &b, 1);
        break;
      }
      case 3:
        if (rng() % 4 == 0) {  // a new owner: the mirror refilled
          sorn_mirror_clear();
          EXPECT_TRUE(demo_mirror_defaults());
          for (int inst = 0; inst < 4; inst++) write_inst(inst);
        }
        break;
      case 4: {
        sorn_fixture::hand_track(c, 1);
        break;
      }
      default: {
        const int32_t pitches[] = {0, 1, 127, 254, 255, int32_t(rng() % 96), -1};
        const char fx[] = {0, 'v', 't', 'w', 'a', 's', 'r', 'x'};
        int32_t inst = rng() % 8 == 0 ? int32_t(rng() % 2 ? 255 : 300) : int32_t(rng() % 4);
        sorn_set_channel_mix_vol(uint32_t(c), int32_t(rng()));
        sorn_set_note(c, pitches[rng() % 7], inst, int32_t(rng() % 2 ? rng() % 256 : 255),
                      fx[rng() % 8], int32_t(rng() % 256), int32_t(rng() % 2),
                      rng() % 2 ? SORN_NO_PAN : int32_t(rng() % 300) - 150);
      }
    }
    for (int16_t v : sorn_fixture::mix(int(1 + rng() % 1500)))
      for (int b = 0; b < 2; b++) h = (h ^ uint8_t(uint16_t(v) >> (8 * b))) * 1099511628211u;
  }
  return h;
}

TEST_F(SornMixer, HostileScenesRenderTheirRecordedSamples) {
  const uint64_t hashes[] = {0xa5c326cb2bdc0b63, 0xb301109209e6c643, 0x47885334a48623d3,
                             0x39ff9623d2b74ca3};
  for (bool avx2 : {true, false}) {
    for (uint32_t seed = 1; seed <= 4; seed++) {
      SetUp();
      sorn_use_avx2(avx2);
      uint64_t h = hostile_scenes_hash(seed, 400);
      EXPECT_EQ(h, hashes[seed - 1])
          << "avx2 " << avx2 << " seed " << seed << std::hex << " 0x" << h;
    }
  }
  sorn_use_avx2(true);
}

// An echo instrument (the tick-boundary ramp runs only in one) whose
// oscillator changes in exactly one input between two ticks: the phase (a
// retrigger), the phase step, the amplitude, the row, the phase offset, the
// modulation shift, the table (a retrigger keeping the phase), a mute, and
// nothing at all. The samples around the change, hashed.
static uint64_t ramp_scene_hash(int change) {
  EXPECT_TRUE(demo_mirror_defaults());
  demo_node nodes[4] = {demo_container(), demo_osc(0, 30, 0, 0), demo_fx(0, NODE_ECHO, 4, 90),
                        demo_osc(1, 60, OP_FM, 7)};
  nodes[1].flags = NODE_FLAG_KEEP_PHASE * (change == 6);
  nodes[3].mval[0][3] = 0x40;  // modulation shift 2
  const uint32_t inst = test_inst_addr(1);
  demo_write_instrument(inst, nodes, 4);
  sorn_set_note(0, 48, 1, 40, SORN_NOT_GIVEN, 0, 0, SORN_NO_PAN);
  uint64_t h = 1469598103934665603u;
  auto hash_mix = [&](int frames) {
    for (int16_t v : sorn_fixture::mix(frames))
      for (int b = 0; b < 2; b++) h = (h ^ uint8_t(uint16_t(v) >> (8 * b))) * 1099511628211u;
  };
  hash_mix(3 * 367 + 100);
  switch (change) {
    case 0:
      sorn_set_note(0, 48, 1, 40, SORN_NOT_GIVEN, 0, 1, SORN_NO_PAN);
      break;
    case 1:
      nodes[1].mval[2][1] = 1;
      break;
    case 2:
      sorn_set_note(0, 48, 1, 41, SORN_NOT_GIVEN, 0, 0, SORN_NO_PAN);
      break;
    case 3:
      nodes[1].mval[4][1] = 31;
      break;
    case 4:
      nodes[1].mval[5][1] = 9;
      break;
    case 5:
      nodes[3].mval[0][3] = 0x80;
      break;
    case 6: {
      const uint8_t slot[4] = {0x00, 0xF9, 0x0A, 0x00};  // the rows one row further on
      sorn_memcpy(int32_t(inst + INST_WAVETABLE_SLOTS), slot, 4);
      sorn_set_note(0, 48, 1, 40, SORN_NOT_GIVEN, 0, 1, SORN_NO_PAN);
      break;
    }
    case 7:
      nodes[1].flags = NODE_FLAG_MUTE;
      break;
    default:
      break;
  }
  if (change == 1 || (change >= 3 && change != 6)) demo_write_instrument(inst, nodes, 4);
  hash_mix(3 * 367);
  return h;
}

TEST_F(SornMixer, TickRampFollowsEveryOscillatorInput) {
  const uint64_t hashes[] = {0xd93374d605ecca0b, 0x120f96057943ce1b, 0x9528f8345af6b20f,
                             0x3b25f656051bc5b7, 0x629bff553a462e2f, 0x7d6de2975a0144ff,
                             0x259c0891e7b044a3, 0x8e7d70973c3c1443, 0x9442f0ce92a729f7};
  for (int change = 0; change < 9; change++) {
    SetUp();
    uint64_t h = ramp_scene_hash(change);
    EXPECT_EQ(h, hashes[change]) << "change " << change << std::hex << " 0x" << h;
  }
}
