// Parameter values, envelopes, the oscillator, buffer operations, effects and
// the hostile values that must not fault the audio thread.
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "sorn/effects.h"
#include "sorn/mval.h"
#include "sorn/node_tree.h"
#include "sorn/osc.h"
#include "sorn/tick_render.h"
#include "tests/sorn/sorn_fixture.h"

using SornVoice = sorn_fixture;

TEST_F(SornVoice, ParameterEncodings) {
  sorn_channel *ch = &mixer.channel[0];
  ch->node_state[1].kind = NODE_OSC;
  const int64_t parent = 0x123456;
  struct {
    uint8_t m[4];
    int32_t index;
    int64_t expect;
  } cases[] = {
      {{0x01, 0, 0, 0}, 0, parent},                           // add 0: passed through
      {{0x00, 0x40, 0, 0}, 0, 64 << 16},                      // absolute 64.0
      {{0x02, 0x40, 0, 0}, 0, parent & ~0x7FF},               // multiply by 1.0
      {{0x02, 0x20, 0, 0}, 0, (parent & ~0x7FF) / 2},         // by 0.5
      {{0x00, 0x40, 0, 0x60}, 0, 16 << 16},                   // scale -2: divided by 4
      {{0x00, 0x01, 0, 0xC0}, 0, 64 << 16},                   // scale 6: times 64
      {{0x00, 0xFE, 0, 0}, 1, -2 << 16},                      // signed for pan of an oscillator
      {{0x00, 0xFE, 0, 0}, 4, 254 << 16},                     // unsigned for the wave row
      {{0x00, 0xFE, 0, 0}, 5, -2 << 16},                      // signed for the phase
      {{0x00, 0xFE, 0, 0}, 6, 254 << 16},                     // unsigned for parameter 6
      {{0x21, 0x01, 0, 0}, 2, (parent + 0x10000) & ~0xFFFF},  // integer flag
  };
  for (const auto &c : cases)
    EXPECT_EQ(eval_mval(ch, 1, c.index, c.m, parent), c.expect)
        << int(c.m[0]) << " " << int(c.m[1]) << " " << int(c.m[3]);
  // Random: a = 10 at full level, so values stay in 0 .. just under 10.0.
  const uint8_t rnd[4] = {0x10, 10, 0, 0};
  ch->node_state[1].rnd[0] = 65279;
  EXPECT_LT(eval_mval(ch, 1, 0, rnd, 0), 10 << 16);
  EXPECT_GT(eval_mval(ch, 1, 0, rnd, 0), 9 << 16);
  ch->node_state[1].rnd[0] = 0;
  EXPECT_EQ(eval_mval(ch, 1, 0, rnd, 0), 0);
}

TEST_F(SornVoice, Envelopes) {
  sorn_channel *ch = &mixer.channel[0];
  uint32_t e = 0x60000;  // all zero: an ADSR full at tick 0 only
  ch->note_on = 1;
  EXPECT_EQ(evaluate_envelope(e, 0, ch, 0), 65280);
  EXPECT_EQ(evaluate_envelope(e, 1, ch, 0), 0);
  EXPECT_EQ(evaluate_envelope(e, 50, ch, 0), 0);
  ch->note_on = 0;
  EXPECT_EQ(evaluate_envelope(e, 0, ch, 65280), 0);
  // Data, 4 ticks a step, interpolated, steps 0..15 at levels 16 * (step + 1) - 1.
  uint8_t data[24] = {2, 1, 4};
  for (int s = 0; s < 16; s++) data[8 + s] = uint8_t(16 * (s + 1) - 1);
  sorn_memcpy(int32_t(e), data, 24);
  ch->note_on = 1;
  EXPECT_EQ(evaluate_envelope(e, 0, ch, 0), 15 << 8);
  EXPECT_EQ(evaluate_envelope(e, 2, ch, 0), (15 << 8) + (2 << 8) / 4 * 16);
  EXPECT_EQ(evaluate_envelope(e, 60, ch, 0), 255 << 8);
  EXPECT_EQ(evaluate_envelope(e, 64, ch, 0), 0);
  EXPECT_EQ(evaluate_envelope(e, 1000, ch, 0), 0);
  // Coded durations.
  int dur[][2] = {{15, 15}, {16, 16}, {31, 46}, {32, 48}, {127, 680}, {128, 688}, {255, 2720}};
  for (auto d : dur) EXPECT_EQ(get_env_duration(d[0]), d[1]);
  // A speed of 0 with a track is read as 16: no division by zero anywhere.
  ch->track_playing = 1, ch->spd = 0;
  data[2] = 0;
  sorn_memcpy(int32_t(e), data, 24);
  EXPECT_EQ(evaluate_envelope(e, 16, ch, 0), 31 << 8);
  data[0] = 1, data[12] = 0, data[14] = 0;  // LFO at channel speed, phase 0
  sorn_memcpy(int32_t(e), data, 24);
  EXPECT_EQ(evaluate_envelope(e, 0, ch, 0), 32640);
}

TEST_F(SornVoice, NoteSteps) {
  // Pitch 60 plays 523 Hz from a 1024-sample row: step = 523 * 65536 * 1024 / 44100.
  EXPECT_EQ(sorn_get_dx_for_note(60 << 16, 0), (uint64_t(523) << 26) / 44100);
  EXPECT_EQ(sorn_get_dx_for_note(48 << 16, 0), (uint64_t(523) << 25) / 44100);
  uint64_t lo = (uint64_t(523) << 25) / 44100, hi = (uint64_t(554) << 25) / 44100;
  EXPECT_EQ(sorn_get_dx_for_note(48 << 16, 0x800000), (0x8000 * hi + 0x8000 * lo) >> 16);
  // Fine -1 borrows a semitone: just below pitch 48, between B and C of octave 3.
  uint64_t b = (uint64_t(985) << 24) / 44100, c = (uint64_t(1046) << 24) / 44100;
  EXPECT_EQ(sorn_get_dx_for_note(48 << 16, -1), (0xFFFF * c + 1 * b) >> 16);
  // Extreme pitches stay defined (the octave shift is clamped).
  EXPECT_EQ(sorn_get_dx_for_note(INT32_MIN, INT32_MIN), 0u);
  EXPECT_GT(sorn_get_dx_for_note(INT32_MAX, INT32_MAX), uint64_t(1) << 40);
}

TEST_F(SornVoice, BufferOperations) {
  int16_t d[4] = {30000, -30000, 1000, -32767}, s[4] = {30000, -30000, 16384, -32767};
  add_buffer(d, s, 4);
  EXPECT_EQ(d[0], 32767);
  EXPECT_EQ(d[1], -32767);
  EXPECT_EQ(d[2], 17384);
  int16_t m[3] = {1000, -1000, 32767}, ms[3] = {16384, 16384, -32768};
  mul_buffer(m, ms, 3, 0);  // times src / 32768
  EXPECT_EQ(m[0], 500);
  EXPECT_EQ(m[1], -500);
  EXPECT_EQ(m[2], -32767);
  int16_t l[1] = {0}, r[1] = {0}, src[1] = {10000};
  add_buffer_split(l, r, 4095, 0, src, 1);
  EXPECT_EQ(l[0], 9997);
  EXPECT_EQ(r[0], 0);
}

TEST_F(SornVoice, OscillatorPhaseAndRowWrapAtTopOfMemory) {
  sorn_node_state n{};
  int16_t out[8];
  n.output = out;
  n.kind = NODE_OSC;
  n.wt_width_bits = 2, n.wt_width = 4, n.wt_height = 1;
  n.wt_addr = 0xFFFFFC;  // the row's last two samples wrap to address 0
  const int16_t row[4] = {100, 200, 300, 400};
  sorn_memcpy(int32_t(n.wt_addr), row, 8);
  n.val[0] = 64 << 16;    // full amplitude
  n.val[5] = -128 << 16;  // read at the stored phase
  n.dx = 0x10000;         // one sample a sample
  render_node_tick_osc(&n, 6);
  const int16_t expect[6] = {100, 200, 300, 400, 100, 200};
  for (int i = 0; i < 6; i++) EXPECT_EQ(out[i], expect[i]) << i;
  EXPECT_EQ(n.phase, 0x20000u);
  n.phase = 0;
  n.val[5] = 0;  // half a row away
  render_node_tick_osc(&n, 1);
  EXPECT_EQ(out[0], 300);
  // Width bits beyond 15 are clamped when the tree is loaded.
  dc_instrument(1, 1000);
  poke_ram8(test_inst_addr(1) + INST_WAVETABLE_SLOTS + 2, 40);
  note(0, 1);
  EXPECT_EQ(mixer.channel[0].node_state[0].wt_width_bits, 15);
  mix(1000);
}

TEST_F(SornVoice, EchoAndGainBasics) {
  sorn_node_state p{}, fx{};
  static int16_t buf[8], ring[SORN_NODE_BUFFER];
  p.output = buf, fx.output = ring;
  fx.echo_prev_delay = fx.echo_prev_feedback = -1;
  fx.val[1] = 0x800000;  // feedback 0.5, delay 0: each sample plus half itself
  for (int i = 0; i < 8; i++) buf[i] = int16_t(1000 * (i + 1));
  apply_fx_echo(&p, &fx, 8);
  for (int i = 0; i < 8; i++) EXPECT_EQ(buf[i], 1500 * (i + 1)) << i;
  EXPECT_EQ(fx.echo_pos, 8);
  // A gain node with all values 0 outputs silence.
  sorn_node_state g{};
  apply_fx_gain(&p, &g, 8);
  for (int16_t s : buf) EXPECT_EQ(s, 0);
}

// Each effect over the same eight samples, against values worked out by hand
// from the filter, two-pole, waveshaper and echo formulas.
TEST_F(SornVoice, EffectsGiveExactSamples) {
  const int16_t input[8] = {1000, -2000, 30000, -32768, 500, 12345, -7000, 0};
  static int16_t buf[8], ring[SORN_NODE_BUFFER];
  sorn_node_state p{};
  p.output = buf;
  auto run = [&](void (*fx_fn)(sorn_node_state *, sorn_node_state *, int32_t),
                 sorn_node_state *fx) {
    std::memcpy(buf, input, sizeof buf);
    fx_fn(&p, fx, 8);
    return std::vector<int16_t>(buf, buf + 8);
  };
  using v = std::vector<int16_t>;
  sorn_node_state flt{};
  flt.val[0] = 0x400000, flt.val[1] = 0x100000, flt.val[2] = 0x200000;
  EXPECT_EQ(run(apply_fx_filter, &flt), (v{54, -10, 1612, 1140, 680, 919, 689, 443}));
  EXPECT_EQ(flt.flt_low, 467);
  EXPECT_EQ(flt.flt_band, -434);
  EXPECT_EQ(flt.flt_high, 443);
  struct {
    int32_t val[4];
    v expect;
  } gains[] = {
      // drive 2.0 knee 0.375, soft shape, unity volume
      {{0x800000, 0x400000, 0x600000, 0x400000},
       {4513, -9027, 32767, -32767, 2256, 32767, -26534, 0}},
      // the harder shape above 0x7F7FFF, volume 0.75
      {{0x800000, 0xA00000, 0x600000, 0x300000},
       {3384, -6771, 21541, -22218, 1692, 17232, -15928, 0}},
      // fold at shape 255.0
      {{0x300000, 0xFF0000, 0x600000, 0x400000},
       {2317, -4635, 20431, -20431, 1158, 20431, -16223, 0}},
  };
  for (const auto &g : gains) {
    sorn_node_state fx{};
    std::memcpy(fx.val, g.val, sizeof g.val);
    EXPECT_EQ(run(apply_fx_gain, &fx), g.expect) << g.val[1];
  }
  // Echo gliding from delay 1.0 / feedback 0.25 to 2.0 / 0.5, across the ring's end.
  for (int i = 0; i < SORN_NODE_BUFFER; i++) ring[i] = int16_t((i * 37) % 2000 - 1000);
  sorn_node_state echo{};
  echo.output = ring;
  echo.val[0] = 0x20000, echo.val[1] = 0x800000;
  echo.echo_prev_delay = 0x10000, echo.echo_prev_feedback = 0x400000;
  echo.echo_pos = 32766;
  EXPECT_EQ(run(apply_fx_echo, &echo), (v{1170, -1965, 29866, -32767, 686, 12322, -7268, 390}));
  EXPECT_EQ(echo.echo_pos, 6);
  EXPECT_EQ(echo.echo_prev_delay, 0x20000);
  EXPECT_EQ(echo.echo_prev_feedback, 0x800000);
}

// Values that would divide by zero or overflow are clamped; under the
// sanitizers any fault here fails the test.
TEST_F(SornVoice, HostileEffectValuesStayDefined) {
  static int16_t buf[367], ring[SORN_NODE_BUFFER];
  sorn_node_state p{}, fx{};
  p.output = buf, fx.output = ring;
  fx.echo_prev_delay = fx.echo_prev_feedback = -1;
  const int32_t extremes[] = {INT32_MIN, -0x10000, -1, 0, 0xFF0000, INT32_MAX};
  for (int32_t a : extremes)
    for (int32_t b : extremes) {
      for (int i = 0; i < 367; i++) buf[i] = int16_t(i % 2 ? -32768 : 32767);
      fx.val[0] = a, fx.val[1] = b, fx.val[2] = a ^ b, fx.val[3] = b;
      apply_fx_filter(&p, &fx, 367);
      apply_fx_gain(&p, &fx, 367);
      apply_fx_echo(&p, &fx, 367);
      for (int16_t s : buf) ASSERT_GE(s, -32767);
    }
}

// Frequency ratios multiply down a deep tree until the denominator wraps to
// 0; the step is then taken with a ratio of 1 instead of dividing by zero.
TEST_F(SornVoice, DeepFrequencyRatioChain) {
  demo_node nodes[8];
  for (int i = 0; i < 8; i++) {
    nodes[i] = i == 7 ? demo_osc(6, 0) : demo_container();
    if (i > 0 && i < 7) nodes[i].parent = uint8_t(i - 1);
    uint8_t ratio[4] = {0x02, 0xF0, 0xF0, 0xE0};  // den 16 << 6 at every level
    std::memcpy(nodes[i].mval[2], ratio, 4);
  }
  demo_write_instrument(test_inst_addr(1), nodes, 8);
  note(0, 1, 60);
  mix(800);
  EXPECT_EQ(mixer.channel[0].node_state[7].freq_den, 0u);
  EXPECT_EQ(mixer.channel[0].node_state[7].dx, sorn_get_dx_for_note(60 << 16, 0));
}

TEST_F(SornVoice, TreeShapeAndStereoTwins) {
  demo_node nodes[5] = {demo_container(), demo_osc(3, 0), demo_fx(0, NODE_FILTER, 10, 10),
                        demo_osc(0, 0), demo_fx(0, NODE_ECHO, 1, 1)};
  demo_write_instrument(test_inst_addr(1), nodes, 5, INST_FLAG_STEREO);
  note(0, 1);
  const sorn_node_state *ns = mixer.channel[0].node_state;
  EXPECT_EQ(ns[1].depth, 0);  // parent 3 at node 1: top level
  EXPECT_EQ(ns[3].depth, 1);
  EXPECT_EQ(ns[2].clone, 5);  // first free node after the filter
  EXPECT_EQ(ns[4].clone, 6);
  EXPECT_EQ(ns[5].kind, NODE_FILTER);
  EXPECT_EQ(ns[5].parent, STEREO_NODE_INDEX);
  EXPECT_EQ(ns[6].is_clone, 1);
  // Slot nibbles 4..15 select slot (value & 3).
  poke_ram8(test_inst_addr(1) + 32 * 3 + 1, 0x52);
  note(0, 2);
  note(0, 1);
  EXPECT_EQ(mixer.channel[0].node_state[3].wt_addr, RAM_WAVETABLES);
  // No free node after the filter: it stays on the left only.
  demo_node full[8] = {demo_container(), demo_fx(0, NODE_FILTER, 10, 10)};
  for (int i = 2; i < 8; i++) full[i] = demo_osc(0, 0);
  demo_write_instrument(test_inst_addr(2), full, 8, INST_FLAG_STEREO);
  note(0, 2);
  EXPECT_EQ(mixer.channel[0].node_state[1].clone, -1);
  for (int i = 2; i < 8; i++) EXPECT_EQ(mixer.channel[0].node_state[i].is_clone, 0);
}

// A stereo instrument folds each child oscillator of node 0 into both sides by
// its own pan; a node whose parent index is not below its own takes the
// channel's values, and a frequency ratio scales its step.
TEST_F(SornVoice, StereoChildPansAndTopLevelNodes) {
  dc_instrument(1, 10000, true);
  demo_node nodes[4] = {demo_container(), demo_osc(0, 0), demo_osc(0, 0), demo_osc(5, 0)};
  const uint8_t hard_left[4] = {0x00, 0x81, 0, 0}, right_64[4] = {0x00, 64, 0, 0};
  std::memcpy(nodes[1].mval[1], hard_left, 4);
  std::memcpy(nodes[2].mval[1], right_64, 4);
  const uint8_t ratio[4] = {0x02, 0x21, 0x00, 0x40};  // (1 + 1) << 2 over 2 + 1
  std::memcpy(nodes[3].mval[2], ratio, 4);
  uint8_t slot0[4];
  for (int i = 0; i < 4; i++) slot0[i] = sorn_ram8(test_inst_addr(1) + INST_WAVETABLE_SLOTS + i);
  demo_write_instrument(test_inst_addr(1), nodes, 4, INST_FLAG_STEREO);
  sorn_memcpy(int32_t(test_inst_addr(1) + INST_WAVETABLE_SLOTS), slot0, 4);
  note(0, 1);
  mix(367);
  const sorn_node_state *ns = mixer.channel[0].node_state;
  // Left: 10000 x 4095 / 4096 + 10000 x 1857 / 4096; right: 0 + 10000 x 3927 / 4096.
  EXPECT_EQ(ns[0].output[100], 9997 + 4533);
  EXPECT_EQ(ns[STEREO_NODE_INDEX].output[100], 9587);
  EXPECT_EQ(ns[3].depth, 0);
  EXPECT_EQ(ns[3].val[2], 48 << 16);
  EXPECT_EQ(ns[3].val[0], 64 << 16);
  EXPECT_EQ(ns[3].freq_num, 8u);
  EXPECT_EQ(ns[3].freq_den, 3u);
  EXPECT_EQ(ns[3].dx, sorn_get_dx_for_note(48 << 16, 0) * 8 / 3);
}

// With an echo in the instrument each node's new tick fades in over 64 samples
// from its previous state rendered on; without one the new values start at once.
TEST_F(SornVoice, EchoInstrumentsRampNodesIntoTheirNewTick) {
  for (bool with_echo : {true, false}) {
    SetUp();
    dc_instrument(1, 10000);
    demo_node nodes[3] = {demo_container(), demo_osc(0, 0), demo_fx(0, NODE_ECHO, 0, 0)};
    uint8_t slot0[4];
    for (int i = 0; i < 4; i++) slot0[i] = sorn_ram8(test_inst_addr(1) + INST_WAVETABLE_SLOTS + i);
    demo_write_instrument(test_inst_addr(1), nodes, with_echo ? 3 : 2);
    sorn_memcpy(int32_t(test_inst_addr(1) + INST_WAVETABLE_SLOTS), slot0, 4);
    note(0, 1);
    mix(367);
    sorn_set_note(0, 48, 1, 32, SORN_NOT_GIVEN, 0, 0, SORN_NO_PAN);  // half volume
    mix(367);
    const int16_t *osc = mixer.channel[0].node_state[1].output;
    for (int i : {0, 1, 32, 63})
      EXPECT_EQ(osc[i], with_echo ? (5000 * i + 10000 * (64 - i)) >> 6 : 5000) << i;
    EXPECT_EQ(osc[64], 5000);
  }
}

// Random instrument bytes, envelopes, registers and note arguments: whatever a
// process writes, mixing stays defined (the sanitizer builds fail on any
// overflow or stray access) and the output stays within -32767..32767.
TEST_F(SornVoice, RandomInstrumentsMixSafely) {
  std::mt19937 rng(7);
  std::vector<uint8_t> bytes(2 * AUDIO_INSTRUMENT_SIZE);
  for (int round = 0; round < 300; round++) {
    for (auto &b : bytes) b = uint8_t(rng());
    // Point some slots at the top of memory and some at the default rows.
    if (round % 3 == 0) bytes[INST_WAVETABLE_SLOTS + 1] = 0xFF;
    sorn_memcpy(int32_t(test_inst_addr(1)), bytes.data(), int32_t(bytes.size()));
    poke_ram8(RAM_SFX_VOLUME, uint8_t(rng()));
    poke_ram8(RAM_MUSIC_VOLUME, uint8_t(rng()));
    int ch = int(rng() % 16);
    sorn_set_channel_mix_vol(uint32_t(ch), int32_t(rng()));
    mixer.channel[ch].music_channel = rng() % 4 == 0;
    mixer.channel[ch].pattern_ticks_left = int32_t(rng() % 3);
    mixer.fade_vol = int32_t(rng() % 257);
    sorn_set_note(ch, int32_t(rng()), 1 + int32_t(rng() % 2), int32_t(rng() % 256),
                  int32_t(rng() % 128), int32_t(rng()), int32_t(rng() % 2),
                  rng() % 2 ? SORN_NO_PAN : int32_t(rng()));
    mixer.channel[ch].track_playing = rng() % 2;
    mixer.channel[ch].spd = int32_t(rng() % 20);
    auto out = mix(int(rng() % 1500));
    for (int16_t s : out) ASSERT_GE(s, -32767) << "round " << round;
  }
}

// A filter moved to the top of its resonance range (byte 128 at scale 6) while
// its band state is non-zero keeps damping it: the state stays bounded over
// 300 s of a loud square wave instead of growing until it overflows.
TEST_F(SornVoice, FilterAtTopResonanceStaysBounded) {
  static int16_t buf[367];
  sorn_node_state p{}, fx{};
  p.output = buf;
  fx.val[0] = 0x200000, fx.val[1] = 0x100000, fx.val[2] = 0x100000;
  auto tick = [&](int t) {
    for (int i = 0; i < 367; i++) buf[i] = int16_t((t * 367 + i) / 50 % 2 ? 30000 : -30000);
    apply_fx_filter(&p, &fx, 367);
  };
  tick(0);
  ASSERT_NE(fx.flt_band, 0);
  fx.val[2] = 128 * 64 << 16;
  const int64_t bound = int64_t(1) << 24;
  for (int t = 1; t < 300 * 120; t++) {
    tick(t);
    ASSERT_LT(std::llabs(fx.flt_low) + std::llabs(fx.flt_band) + std::llabs(fx.flt_high), bound)
        << "tick " << t;
  }
}

// Note volumes above 64 make the oscillator louder until its samples
// saturate; they never fold over, invert or fall silent. A sample that fits
// 16 bits at unity is kept exactly (the table's -32768 included).
TEST_F(SornVoice, LoudVolumesSaturate) {
  struct {
    int16_t value;
    int vol;
    int16_t expect;
  } cases[] = {
      {10000, 64, 10000},   {10000, 96, 15000},  {10000, 127, 19843},   {10000, 128, 20000},
      {10000, 200, 31250},  {10000, 254, 32767}, {-10000, 254, -32767}, {-32768, 64, -32768},
      {-32768, 65, -32767}, {32767, 250, 32767},  // 255 means "not given"
  };
  for (const auto &c : cases) {
    SetUp();
    dc_instrument(1, c.value);
    sorn_set_note(0, 48, 1, c.vol, SORN_NOT_GIVEN, 0, 0, SORN_NO_PAN);
    mix(200);  // past the crossfade from silence
    EXPECT_EQ(mixer.channel[0].node_state[0].output[150], c.expect) << c.value << " " << c.vol;
  }
}

// The gain node's drive, knee and shape are taken as given above 255.0 (only
// a negative drive, which would divide by zero, is held at 0).
TEST_F(SornVoice, GainBeyondTheByteRange) {
  static int16_t buf[4];
  sorn_node_state p{};
  p.output = buf;
  struct {
    int32_t drive;
    int16_t in, expect;
  } cases[] = {
      {512 << 16, 500, 7527},  // T = 986638: (1000 * T >> 16) >> 1
      {512 << 16, -500, -7527},
      {-(64 << 16), 500, 500},  // drive held at 1.0
      {INT32_MIN, 500, 500},
  };
  for (const auto &c : cases) {
    sorn_node_state fx{};
    fx.val[0] = c.drive, fx.val[3] = 64 << 16;
    buf[0] = c.in;
    apply_fx_gain(&p, &fx, 1);
    EXPECT_EQ(buf[0], c.expect) << c.drive << " " << c.in;
  }
}

// Long-running counters at their limits: the vibrato phase past 2^30 still
// gives the sine of its own value, and the held and released tick counts
// stop at their top instead of wrapping.
TEST_F(SornVoice, CountersNearTheirLimits) {
  dc_instrument(1, 1000);
  note(0, 1);
  sorn_channel *ch = &mixer.channel[0];
  mix(367);
  ch->fx = 'v', ch->fxp = 0x4F;  // speed 4, depth 15 (vib_mag 256)
  for (int32_t phase : {0x40000000 + 12345, INT32_MAX - 3, INT32_MIN + 7}) {
    ch->fx_phase = phase;
    evaluate_channel_node_parameters(ch);
    int64_t s = int64_t(std::sin(2.0 * phase * 3.141562 / 65536) * 65536.0);
    EXPECT_EQ(ch->node_state[0].val[3], int32_t(((ch->pitch_fx & 0xFFFF) << 8) + 256 * s * 2))
        << phase;
    EXPECT_EQ(ch->fx_phase, int32_t(uint32_t(phase) + (4u << 8))) << phase;
  }
  ch->fx = 0;
  ch->ticks_held = INT32_MAX - 1;
  mix(3 * 367);
  EXPECT_EQ(ch->ticks_held, INT32_MAX);
  sorn_set_note(0, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN, 0, 0,
                SORN_NO_PAN);
  ch->ticks_released = INT32_MAX - 1;
  mix(3 * 367);
  EXPECT_EQ(ch->ticks_released, INT32_MAX);
}

// Coefficients that change from tick to tick can pump energy into the
// filter's state even where each setting alone is stable: a cutoff that a
// data envelope steps between two values every tick, and one a fast LFO
// sweeps, both at the top of the resonance range, over a minute of the
// default saw. Every state value stays within its bound, 2^33, while no held
// setting drives one past 2^23 from silence (under the sanitizers, no product
// overflows on the way).
TEST_F(SornVoice, FilterUnderChangingCoefficientsStaysBounded) {
  struct {
    const char *name;
    uint8_t resonance[4];
    uint8_t envelope[24];
  } cases[] = {
      // data: one tick a step, looping over the two steps 240 and 0
      {"stepped cutoff", {0x00, 0xFF, 0, 0}, {2, 0, 1, 0, 2, 0, 0, 0, 240, 0}},
      // LFO of 4 ticks a turn, resonance 255.0 scaled by 4
      {"LFO sweep", {0x00, 0xFF, 0, 0x40}, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4}},
  };
  for (const auto &c : cases) {
    SetUp();
    ASSERT_TRUE(demo_mirror_defaults());
    demo_node nodes[3] = {demo_container(), demo_osc(0, 128), demo_fx(0, NODE_FILTER, 0, 0)};
    const uint8_t cutoff[4] = {0x04, 0xFF, 0x00, 0x00};  // envelope 0 from 0 to 255.0
    std::memcpy(nodes[2].mval[0], cutoff, 4);
    std::memcpy(nodes[2].mval[2], c.resonance, 4);
    demo_write_instrument(test_inst_addr(1), nodes, 3);
    sorn_memcpy(int32_t(test_inst_addr(1) + INST_ENVELOPES), c.envelope, 24);
    note(0, 1, 53);
    const sorn_node_state &flt = mixer.channel[0].node_state[2];
    int64_t largest = 0;
    bool sounds = false;
    for (int chunk = 0; chunk < 60 * 44100 / 4096; chunk++) {
      for (int16_t s : mix(4096)) sounds |= s != 0;
      for (int64_t v : {flt.flt_low, flt.flt_band, flt.flt_high})
        largest = std::max<int64_t>(largest, std::llabs(v));
      ASSERT_LE(largest, int64_t(1) << 33) << c.name << " after chunk " << chunk;
    }
    EXPECT_TRUE(sounds) << c.name;
    EXPECT_GT(largest, int64_t(1) << 23) << c.name << ": the state runs past any held setting's";
  }
}
