// The mixer's loops in their AVX2 and plain copies give the same samples, bit
// for bit, on random inputs and at their extremes; the echo's block path
// gives what the chained loop gives, and the filter and waveshaper what
// their wide formulas give.
#include "sorn/vector_loop.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "sorn/channel_mix.h"
#include "sorn/effects.h"
#include "sorn/osc.h"
#include "tests/sorn/sorn_fixture.h"

namespace {

constexpr int kLengths[] = {1, 7, 8, 9, 64, 367, 2048, 2049, SORN_NODE_BUFFER};

std::vector<int16_t> random_samples(std::mt19937 &rng, size_t n) {
  const int16_t edge[] = {INT16_MIN, -SORN_SAMPLE_MAX, SORN_SAMPLE_MAX, 0, -1, 1};
  std::vector<int16_t> v(n);
  for (auto &s : v) s = rng() % 4 ? int16_t(rng()) : edge[rng() % 6];
  return v;
}

int32_t pick(std::mt19937 &rng, std::initializer_list<int32_t> edges) {
  if (rng() % 2) return int32_t(rng());
  return edges.begin()[rng() % edges.size()];
}

// Runs f with the AVX2 copies, then with the plain ones; f returns what it
// made. Skips where the processor has no AVX2 (only the plain copy exists).
template <typename F>
void expect_both_copies_agree(F f) {
  if (!sorn_use_avx2(true)) GTEST_SKIP() << "no AVX2 on this processor";
  auto vec = f();
  sorn_use_avx2(false);
  auto plain = f();
  sorn_use_avx2(true);
  ASSERT_EQ(vec.size(), plain.size());
  for (size_t i = 0; i < vec.size(); i++) ASSERT_EQ(vec[i], plain[i]) << "at " << i;
}

// A parent node and an effect node on two buffers kept across rounds.
struct node_pair {
  static inline std::vector<int16_t> a = std::vector<int16_t>(SORN_NODE_BUFFER),
                                     b = std::vector<int16_t>(SORN_NODE_BUFFER);
  sorn_node_state parent{}, fx{};
  node_pair() {
    parent.output = a.data();
    fx.output = b.data();
  }
  // The parent's first n samples, the effect's buffer when it is a ring, and
  // the effect's state.
  void append(std::vector<int64_t> &all, int n, bool ring) const {
    all.insert(all.end(), a.begin(), a.begin() + n);
    if (ring) all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), {fx.echo_pos, fx.echo_prev_delay, fx.echo_prev_feedback, fx.flt_low,
                           fx.flt_band, fx.flt_high});
  }
};

}  // namespace

TEST(SornVectorLoop, BufferFoldsAgree) {
  const int32_t gains[] = {0, 1, 3272, 4096, 16192, 65535, INT32_MAX, -4096, INT32_MIN};
  const int32_t shifts[] = {-20, -6, -4, 0, 2, 6, 15, 16, 31, 47};
  expect_both_copies_agree([&] {
    std::mt19937 rng(5);
    std::vector<int16_t> all;
    for (int n : kLengths) {
      for (int op = 0; op < 8; op++) {
        auto src = random_samples(rng, size_t(n)), l = random_samples(rng, size_t(n)),
             r = random_samples(rng, size_t(n));
        int32_t gl = gains[rng() % 9], gr = gains[rng() % 9], sh = shifts[rng() % 10];
        switch (op) {
          case 0:
            add_buffer(l.data(), src.data(), n);
            break;
          case 1:
            mul_buffer(l.data(), src.data(), n, sh);
            break;
          case 2:
            xor_buffer(l.data(), src.data(), n);
            break;
          case 3:
            or_buffer(l.data(), src.data(), n);
            break;
          case 4:
            add_buffer_split(l.data(), r.data(), gl, gr, src.data(), n);
            break;
          case 5:
            mul_buffer_split(l.data(), r.data(), gl, gr, src.data(), n, sh);
            break;
          case 6:
            xor_buffer_split(l.data(), r.data(), gl, gr, src.data(), n);
            break;
          default:
            or_buffer_split(l.data(), r.data(), gl, gr, src.data(), n);
            break;
        }
        all.insert(all.end(), l.begin(), l.end());
        all.insert(all.end(), r.begin(), r.end());
      }
    }
    return all;
  });
}

// Drive, fold, knee and volume at their byte limits, far past them and
// negative; the filter from no resonance to the top (k = 1).
TEST(SornVectorLoop, GainAndFilterAgree) {
  expect_both_copies_agree([&] {
    std::mt19937 rng(6);
    std::vector<int64_t> all;
    for (int round = 0; round < 300; round++) {
      node_pair np;
      int n = kLengths[rng() % std::size(kLengths)];
      auto x = random_samples(rng, size_t(n));
      std::copy(x.begin(), x.end(), np.a.begin());
      for (int k = 0; k < 4; k++)
        np.fx.val[k] = pick(rng, {0, 1, 255 << 16, 0xFEFFFF, 0xFF0000, 64 << 16, INT32_MAX,
                                  INT32_MIN, -(255 << 16), 0x7F7FFF, 0x7F8000});
      if (round % 2) {
        apply_fx_gain(&np.parent, &np.fx, n);
      } else {
        np.fx.val[2] = pick(rng, {0, 255 << 16, INT32_MAX, 1 << 30, -1});
        apply_fx_filter(&np.parent, &np.fx, n);
      }
      np.append(all, n, false);
    }
    return all;
  });
}

// The waveshaper below the fold setting, every product in 64 or 128 bits: what
// the gain node's 32-bit loop must give wherever it is taken.
static void gain_wide(const int32_t *val, int16_t *x, int32_t n) {
  int64_t v0 = std::max(val[0], 0), v1 = val[1], v2 = val[2];
  int64_t drive = 65536 + (7 * v0) / 255, q = v1 / 255, knee = 65536 - v2 / 255;
  int64_t vol = val[3] / 64, thr = (knee << 16) / drive;
  __int128 slope = 0;
  if (thr != 65536) {
    __int128 s1 = ((__int128(1) << 32) - (__int128(knee) << 16)) / (65536 - thr);
    __int128 s2 = (__int128(drive - knee) << 16) / (65536 - thr);
    slope = v1 <= 0x7F7FFF ? (s1 * 2 * q + s2 * (65536 - 2 * q)) >> 16
                           : ((0x20000 - 2 * __int128(q)) * s1) >> 16;
    slope = std::clamp<__int128>(slope, -(int64_t(1) << 37), int64_t(1) << 37);
  }
  for (int32_t i = 0; i < n; i++) {
    int64_t a = 2 * std::abs(int32_t(x[i]));
    __int128 m = a < thr ? (a * drive) >> 16 : (((a - thr) * slope) >> 16) + knee;
    int64_t h = (m < 0 || m > 65535 ? 65535 : int64_t(m)) >> 1;
    x[i] = int16_t(sorn_clamp_sample(((x[i] < 0 ? -h : h) * vol) >> 16));
  }
}

// Settings on both sides of where the 32-bit loop is taken: threshold 0 and
// 65536 (knee 0 and unity), volume at unity and just past it either way,
// the slope from flat to steep, and random ones; every sample value.
TEST(SornVectorLoop, GainAgreesWithTheWideLoop) {
  // Drive, fold and knee that put the threshold or the slope on either side
  // of the 32-bit loop's limits, each at a volume of unity (64 << 16), one
  // past it and their negatives.
  const int32_t limits[][3] = {
      {0, 0, 300},                    // threshold 65535
      {0, 0, 0},                      // threshold 65536
      {0, 0, -300},                   // threshold 65537
      {0, 0, 16711680},               // threshold 0
      {0, 0, 16711935},               // threshold -1
      {18943, -1579543439, -131070},  // slope 2^30 - 1
      {21934, -1591787774, -151725},  // slope 2^30
      {46859, -2022536069, -323085},  // slope 2^30 + 1
      {1053829, 4733054, -7376385},   // slope -2^30
      {5347908, 5596484, -37430940},  // slope -(2^30 + 1)
  };
  const int32_t volumes[] = {64 << 16, (64 << 16) + 64, -(64 << 16), -(64 << 16) - 64};
  std::mt19937 rng(12);
  std::vector<int16_t> expect(SORN_NODE_BUFFER);
  for (int round = 0; round < 240; round++) {
    int32_t val[4];
    val[0] = pick(rng, {0, 1, 255 << 16, INT32_MAX, -1, 0x20000});
    // The fold setting (0xFF0000 on) takes another loop.
    val[1] = pick(rng, {0, 0x7F7FFF, 0x7F8000, 0xFEFFFF, 1 << 12, -(1 << 20), INT32_MIN});
    if (val[1] >= 0xFF0000) val[1] %= 0xFF0000;
    val[2] = pick(rng, {0, 255 << 16, 0xFF00, 1 << 20, -(255 << 16), INT32_MIN});
    val[3] = pick(rng, {64 << 16, (64 << 16) + 64, -(64 << 16), -(64 << 16) - 64, 0, 32 << 16});
    if (size_t(round) < std::size(limits) * std::size(volumes)) {
      std::memcpy(val, limits[size_t(round) % std::size(limits)], sizeof limits[0]);
      val[3] = volumes[size_t(round) / std::size(limits)];
    }
    for (int half = 0; half < 2; half++) {
      node_pair np;
      for (int i = 0; i < SORN_NODE_BUFFER; i++)
        np.a[size_t(i)] = expect[size_t(i)] = int16_t(half * SORN_NODE_BUFFER + i - 32768);
      std::memcpy(np.fx.val, val, sizeof val);
      gain_wide(val, expect.data(), SORN_NODE_BUFFER);
      apply_fx_gain(&np.parent, &np.fx, SORN_NODE_BUFFER);
      for (int i = 0; i < SORN_NODE_BUFFER; i++)
        ASSERT_EQ(np.a[size_t(i)], expect[size_t(i)])
            << "input " << half * SORN_NODE_BUFFER + i - 32768 << " values " << val[0] << " "
            << val[1] << " " << val[2] << " " << val[3];
    }
  }
}

// The filter as a plain wide formula: every product in 128 bits, each
// division rounding toward zero. The mixer's loop takes its rounding from the
// multiplied value, and must give these samples and states bit for bit.
static int64_t div_wide(__int128 a, int64_t b) { return int64_t(a / b); }

static void filter_wide(int16_t *x, sorn_node_state *fx, int32_t n) {
  int64_t r = std::clamp<int64_t>(fx->val[2] >> 8, 0, int64_t(1) << 30);
  int64_t k =
      std::max<int64_t>(1, div_wide(__int128(1) << 32, 65536 + 128 * ((r * r / 65536 + r) / 2)));
  int64_t c0 = (fx->val[0] >> 8) & 0xFFFF, c1 = (fx->val[1] >> 8) & 0xFFFF;
  int64_t f = (65536 - c0) * (65536 - c0) / 65536,
          d = 65536 - (c1 * c1 % (int64_t(1) << 32)) / 65536;
  __int128 low = fx->flt_low, band = fx->flt_band, high = fx->flt_high;
  for (int32_t i = 0; i < n; i++) {
    __int128 l0 = low;
    band += div_wide((x[i] - band - l0) * k, 65536);
    low = l0 + div_wide(band * f, 65536);
    high = div_wide((high - int32_t(l0) + low) * d, 65536);
    x[i] = int16_t(std::clamp<__int128>(high, -SORN_SAMPLE_MAX, SORN_SAMPLE_MAX));
  }
  fx->flt_low = int64_t(low), fx->flt_band = int64_t(band), fx->flt_high = int64_t(high);
}

// The filter at every cutoff and damping on a grid, at resonances up to
// the clamp and past it, from a cleared state and from one mid-note.
TEST(SornVectorLoop, FilterMatchesTheWideFormula) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; round++) {
    node_pair np;
    sorn_node_state &fx = np.fx, wide{};
    fx.val[0] =
        round < 1024 ? (round % 32) << 19 : pick(rng, {0, 0xFFFF00, INT32_MAX, INT32_MIN, -1});
    fx.val[1] =
        round < 1024 ? (round / 32) << 19 : pick(rng, {0, 0xFFFF00, INT32_MAX, INT32_MIN, -1});
    fx.val[2] = rng() % 3 ? int32_t(rng() % (256 << 16))
                          : pick(rng, {0, 255 << 16, 1 << 30, INT32_MAX, -1});
    // A state the filter reaches from silence (its low and band stay well
    // inside 2^24); far larger ones could overflow the 64-bit products.
    if (round % 2)
      fx.flt_low = int32_t(rng()) >> 8, fx.flt_band = int32_t(rng()) >> 8,
      fx.flt_high = int32_t(rng()) >> 8;
    wide = fx;
    int n = kLengths[rng() % std::size(kLengths)];
    auto x = random_samples(rng, size_t(n)), want = x;
    std::copy(x.begin(), x.end(), np.a.begin());
    filter_wide(want.data(), &wide, n);
    apply_fx_filter(&np.parent, &fx, n);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), np.a.begin())) << "filter round " << round;
    ASSERT_EQ(std::tie(fx.flt_low, fx.flt_band, fx.flt_high),
              std::tie(wide.flt_low, wide.flt_band, wide.flt_high))
        << "filter round " << round;
  }
}

// The chained echo loop the block path must match: each sample adds the
// ring's sample at the read point, which may be one this block just wrote.
static void echo_chained(node_pair &np, int32_t n) {
  sorn_node_state *fx = &np.fx;
  int16_t *x = np.parent.output, *ring = fx->output;
  int64_t delay = fx->val[0], gain = fx->val[1] & 0xFFFFFF;
  int64_t d0 = fx->echo_prev_delay == -1 ? delay : fx->echo_prev_delay;
  int64_t g = fx->echo_prev_feedback == -1 ? gain : fx->echo_prev_feedback;
  int32_t p = fx->echo_pos & 0x7FFF;
  for (int32_t i = 0; i < n; i++) ring[(p + i) & 0x7FFF] = x[i];
  int64_t gstep = (gain - g) / n;
  int64_t read = ((int64_t(p) << 16) - (d0 * 32256 >> 8)) & 0x7FFFFFFE;
  int64_t dstep = ((delay * 32256 >> 8) - (d0 * 32256 >> 8)) / n;
  for (int32_t i = 0, q = p; i < n; i++, q = (q + 1) & 0x7FFF) {
    ring[q] = int16_t(sorn_clamp_sample(ring[q] + ring[(read >> 16) & 0x7FFF] * g / 0x1000000));
    read = (read - dstep + 0x10000) & 0x7FFFFFFF;
    g += gstep;
  }
  for (int32_t i = 0; i < n; i++) x[i] = ring[(p + i) & 0x7FFF];
  fx->echo_pos = (p + n) & 0x7FFF;
  fx->echo_prev_delay = delay;
  fx->echo_prev_feedback = gain;
}

// Echo lengths 0, 1 and the longest, lengths that put the read point on, just
// behind and just ahead of the block's samples, rings wrapping, and lengths
// and feedback that move across the block.
TEST(SornVectorLoop, EchoAgreesWithTheChainedLoop) {
  auto delay_for = [](int64_t samples, int64_t extra) {
    return int32_t(((samples << 16) * 256 + 32255) / 32256 + extra);
  };
  std::vector<int64_t> expect;
  auto run = [&](bool chained) {
    std::mt19937 rng(7);
    std::vector<int64_t> all;
    auto ring = random_samples(rng, SORN_NODE_BUFFER);
    for (int round = 0; round < 400; round++) {
      node_pair np;
      int n = kLengths[rng() % std::size(kLengths)];
      auto x = random_samples(rng, size_t(n));
      std::copy(x.begin(), x.end(), np.a.begin());
      // Feedback may leave the ring saturated; a fresh one every few rounds.
      if (round % 4 == 0) std::copy(ring.begin(), ring.end(), np.b.begin());
      int64_t at = rng() % 3 == 0 ? n + int(rng() % 5) - 2 : int64_t(rng() % SORN_NODE_BUFFER);
      int32_t delays[] = {0,
                          1,
                          delay_for(1, 0),
                          delay_for(at, int(rng() % 5) - 2),
                          delay_for(SORN_NODE_BUFFER - 1, 0),
                          delay_for(SORN_NODE_BUFFER, 3),
                          INT32_MAX,
                          int32_t(rng() % (1 << 24))};
      np.fx.val[0] = delays[rng() % 8];
      np.fx.val[1] = pick(rng, {0, 0xFFFFFF, 0x800000, -1, 0x1000000});
      np.fx.echo_pos = pick(rng, {0, 1, SORN_NODE_BUFFER - 1, SORN_NODE_BUFFER - n, -1});
      np.fx.echo_prev_delay = rng() % 2 ? -1 : int64_t(delays[rng() % 8]);
      np.fx.echo_prev_feedback = rng() % 2 ? -1 : int64_t(rng() % 0x1000000);
      if (chained)
        echo_chained(np, n);
      else
        apply_fx_echo(&np.parent, &np.fx, n);
      np.append(all, n, round % 16 == 0);
    }
    return all;
  };
  expect = run(true);
  auto got = run(false);
  ASSERT_EQ(got.size(), expect.size());
  for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], expect[i]) << "at " << i;
  expect_both_copies_agree([&] { return run(false); });
}

// Rows of every width, the last one ending at the top of memory (where the
// vector loop's reads past the row would leave the mirror), phase steps up
// to the largest, amplitudes above unity and negative, with and without
// modulation at every shift.
TEST(SornVectorLoop, OscillatorAgrees) {
  std::mt19937 fill(8);
  for (uint32_t a = 0; a < RAM_SIZE; a += 4) {
    uint32_t v = fill();
    std::memcpy(mixer.ram + a, &v, 4);
  }
  expect_both_copies_agree([&] {
    std::mt19937 rng(9);
    std::vector<int16_t> out(SORN_NODE_BUFFER), all;
    for (int round = 0; round < 600; round++) {
      sorn_node_state node{};
      node.kind = NODE_OSC;
      node.output = out.data();
      node.wt_width_bits = int32_t(rng() % 16);
      node.wt_height = rng() % 4 ? 1 + int32_t(rng() % 256) : 1;
      uint32_t bytes = 2u << node.wt_width_bits;
      uint32_t tops[] = {RAM_SIZE - bytes, RAM_SIZE - bytes - 2, RAM_SIZE - bytes + 2, 0,
                         uint32_t(rng() % RAM_SIZE) & ~1u};
      node.wt_addr = int32_t(tops[rng() % 5]);
      // The 16-bit amplitudes' ends and the first ones past them too.
      node.val[0] = pick(rng, {64 << 16, 65 << 16, INT32_MAX, INT32_MIN, -(64 << 16), 0, 32767 << 8,
                               -32768 * 256, 32768 << 8, -32769 * 256});
      node.val[4] = int32_t(rng());
      node.val[5] = int32_t(rng());
      node.phase = rng();
      node.dx = rng() % 3 ? rng() % (1u << 22) : uint64_t(pick(rng, {0, -1, 0x10000, 0x7FFFFFFF}));
      auto fm = random_samples(rng, SORN_NODE_BUFFER);
      if (rng() % 2) {
        node.fm_input = fm.data();
        node.mod_shift = int32_t(rng() % 13) - 6;
      }
      int n = kLengths[rng() % std::size(kLengths)];
      render_node_tick_osc(&node, n);
      all.insert(all.end(), out.begin(), out.begin() + n);
      all.push_back(int16_t(node.phase));
      all.push_back(int16_t(node.phase >> 16));
    }
    return all;
  });
  std::memset(mixer.ram, 0, RAM_SIZE);  // the fixture clears only pages it saw written
}

using SornVectorMix = sorn_fixture;

// Mono output at every pan, sweeping between chunks, at gains whose pan
// factors stay below 2^32 and at music gains that pass it.
TEST_F(SornVectorMix, MonoOutputAgrees) {
  expect_both_copies_agree([&] {
    std::vector<int16_t> all;
    for (int music = 0; music < 2; music++) {
      SetUp();
      dc_instrument(1, SORN_SAMPLE_MAX);
      note(0, 1);
      poke_ram8(RAM_SFX_VOLUME, 255);
      poke_ram8(RAM_MUSIC_VOLUME, 255);
      sorn_channel *ch = &mixer.channel[0];
      sorn_set_channel_mix_vol(0, 255);
      ch->music_channel = music;
      ch->pattern_ticks_left = 1 << 20;
      mixer.fade_vol = 256;
      std::mt19937 rng(10);
      for (int step = 0; step < 64; step++) {
        std::vector<int16_t> out(2 * 700);
        ch->pan = int32_t(rng() % 257) - 128;
        int got = mix_channel(ch, int32_t(1 + rng() % 700), out.data());
        all.insert(all.end(), out.begin(), out.begin() + 2 * got);
      }
    }
    return all;
  });
}
