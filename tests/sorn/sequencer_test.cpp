// Tracks, music and the state queries, mixed tick by tick: rows, speeds,
// loops and ends, the row effects, the channel search and control codes,
// pattern chains with their timing, fades, and what the queries report.
#include <string>
#include <vector>

#include "sorn/music.h"
#include "sorn/track.h"
#include "tests/sorn/sorn_fixture.h"

namespace {

struct track_row {
  uint8_t pitch, inst, vol, fx, fxp;
};

uint32_t track_addr(int n) { return TEST_BASE + AUDIO_TRACKS + AUDIO_TRACK_SIZE * uint32_t(n); }

// Track n at TEST_BASE; rows_field is the stored row count (-1: the rows').
void write_track(int n, int spd, const std::vector<track_row> &rows, int loop_start = 0,
                 int loop_end = 0, int skip = 0, int rows_field = -1) {
  uint32_t a = track_addr(n), r = uint32_t(rows.size());
  uint16_t stored = uint16_t(rows_field < 0 ? int(r) : rows_field);
  const uint8_t head[8] = {uint8_t(stored),     uint8_t(stored >> 8), uint8_t(spd),
                           uint8_t(loop_start), uint8_t(loop_end),    uint8_t(skip)};
  sorn_memcpy(int32_t(a), head, 8);
  for (uint32_t i = 0; i < r; i++) {
    const track_row &w = rows[i];
    const uint8_t cells[5] = {w.pitch, w.inst, w.vol, w.fx, w.fxp};
    for (uint32_t c = 0; c < 5; c++) poke_ram8(a + 8 + c * r + i, cells[c]);
  }
}

// Rows of pitch first, first + 1, ... on instrument 1 without effects.
std::vector<track_row> rising(int count, int first = 40) {
  std::vector<track_row> rows;
  for (int i = 0; i < count; i++) rows.push_back({uint8_t(first + i), 1, 64, 255, 0});
  return rows;
}

// Pattern p of the music at TEST_BASE.
void write_pattern(int p, uint8_t flags, uint8_t mask, std::vector<uint8_t> tracks = {}) {
  uint8_t rec[20] = {};
  for (size_t c = 0; c < tracks.size() && c < 8; c++) rec[c] = tracks[c];
  rec[PATTERN_FLAGS] = flags;
  rec[PATTERN_MASK] = mask;
  sorn_memcpy(int32_t(TEST_BASE + MUSIC_PATTERNS + MUSIC_PATTERN_SIZE * uint32_t(p)), rec, 20);
}

int32_t play(int n, int channel = 0, int offset = 0, int num = 0) {
  return sorn_play_track(n, channel, offset, num, 0, SORN_NO_PAN, 64, int32_t(TEST_BASE), 0);
}

void tick() {
  std::vector<int16_t> out(2 * SORN_SAMPLES_PER_TICK);
  sorn_mix(out.data(), SORN_SAMPLES_PER_TICK);
}

// Runs ticks and writes what f reports after each, runs of equal values as
// "value*count".
template <typename F>
std::string trace(int ticks, F f) {
  std::vector<std::string> seen;
  for (int t = 0; t < ticks; t++) {
    tick();
    seen.push_back(f());
  }
  std::string out;
  for (size_t i = 0; i < seen.size();) {
    size_t j = i;
    while (j < seen.size() && seen[j] == seen[i]) j++;
    out += (out.empty() ? "" : " ") + seen[i] + (j - i > 1 ? "*" + std::to_string(j - i) : "");
    i = j;
  }
  return out;
}

// The pitch of channel 0's note while its track plays, "-" once it stopped.
std::string row_pitch() {
  const sorn_channel *ch = &mixer.channel[0];
  return ch->track_playing ? std::to_string(ch->pitch) : "-";
}

using SornTracks = sorn_fixture;

TEST_F(SornTracks, RowsSpeedsLoopsAndEnds) {
  dc_instrument(1, 1000);
  struct {
    const char *what;
    int spd, rows, loop_start, loop_end, skip, rows_field, offset, num, ticks;
    const char *expect;
  } cases[] = {
      {"no rows is one row", 4, 1, 0, 0, 0, 0, 0, 0, 5, "40*4 -"},
      {"speed 0 is 16 ticks a row", 0, 2, 0, 0, 0, -1, 0, 0, 33, "40*16 41*16 -"},
      {"loop start above loop end ends there", 1, 16, 8, 4, 0, -1, 0, 0, 10,
       "40 41 42 43 44 45 46 47 -*2"},
      {"loop 4..8", 1, 16, 4, 8, 0, -1, 0, 0, 16,
       "40 41 42 43 44 45 46 47 44 45 46 47 44 45 46 47"},
      {"skipped rows start no note", 1, 4, 0, 0, 2, -1, 0, 0, 5, "48*2 42 43 -"},
      // The end row stops the track at the end of the last row's last tick.
      {"rows 4..7", 2, 16, 0, 0, 0, -1, 4, 4, 8, "44*2 45*2 46*2 47 -"},
  };
  for (const auto &c : cases) {
    SetUp();
    dc_instrument(1, 1000);
    write_track(0, c.spd, rising(c.rows), c.loop_start, c.loop_end, c.skip, c.rows_field);
    ASSERT_EQ(play(0, 0, c.offset, c.num), 0) << c.what;
    EXPECT_EQ(trace(c.ticks, row_pitch), c.expect) << c.what;
  }
}

TEST_F(SornTracks, EndLoopLetsALoopingTrackRunOut) {
  dc_instrument(1, 1000);
  write_track(0, 1, rising(16), 4, 8);
  play(0);
  EXPECT_EQ(trace(16, row_pitch), "40 41 42 43 44 45 46 47 44 45 46 47 44 45 46 47");
  EXPECT_EQ(sorn_play_track(TRACK_END_LOOP, 0, 0, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(trace(13, row_pitch), "44 45 46 47 48 49 50 51 52 53 54 55 -");
}

// Delay, retrigger and cut, on one row of speed 8. A retriggered note starts
// its oscillator from phase 0, so its phase after the tick equals the first
// tick's.
TEST_F(SornTracks, DelayRetriggerAndCut) {
  demo_node osc = demo_osc(0, 0);
  auto inst = [] { return std::to_string(mixer.channel[0].inst); };
  struct {
    uint8_t fx, fxp;
    const char *expect;
  } cases[] = {
      {'d', 3, "255*3 1*5"},  // the note starts at tick 3
      {'d', 9, "255*8"},      // never
      {'c', 0, "255*8"},      // cut in the tick it starts
      {'c', 3, "1*3 255*5"},
  };
  for (const auto &c : cases) {
    SetUp();
    demo_write_instrument(test_inst_addr(1), &osc, 1);
    write_track(0, 8, {{60, 1, 64, c.fx, c.fxp}});
    play(0);
    EXPECT_EQ(trace(8, inst), c.expect) << c.fx << int(c.fxp);
  }
  SetUp();
  demo_write_instrument(test_inst_addr(1), &osc, 1);
  write_track(0, 8, {{60, 1, 64, 'r', 2}});
  play(0);
  tick();
  uint64_t first = mixer.channel[0].node_state[0].phase;
  std::string starts = "0";
  for (int t = 1; t < 8; t++) {
    tick();
    if (mixer.channel[0].node_state[0].phase == first) starts += " " + std::to_string(t);
  }
  EXPECT_EQ(starts, "0 2 4 6");
}

TEST_F(SornTracks, PitchSlides) {
  dc_instrument(1, 1000);
  auto pitch_fx = [] { return std::to_string(mixer.channel[0].pitch_fx); };
  // "+" 0: 1/32 semitone a tick; "-" 0: 2480/512 semitones a tick, not below 0.
  write_track(0, 4, {{60, 1, 64, '+', 0}});
  play(0);
  EXPECT_EQ(trace(2, pitch_fx),
            std::to_string((60 << 16) + 2048) + " " + std::to_string((60 << 16) + 4096));
  write_track(0, 16, {{10, 1, 64, '-', 0}});
  play(0);
  EXPECT_EQ(trace(3, pitch_fx), "337920 20480 0");
  // "s" 0 slides from the last pitch to the row's over the row.
  write_track(0, 4, {{48, 1, 64, 0, 0}, {60, 1, 64, 's', 0}});
  play(0);
  EXPECT_EQ(trace(8, pitch_fx), std::to_string(48 << 16) + "*4 " + std::to_string(51 << 16) + " " +
                                    std::to_string(54 << 16) + " " + std::to_string(57 << 16) +
                                    " " + std::to_string(60 << 16));
  // Without a track the slide codes do nothing.
  SetUp();
  dc_instrument(1, 1000);
  sorn_set_note(0, 60, 1, 64, '+', 0, 0, SORN_NO_PAN);
  EXPECT_EQ(trace(3, pitch_fx), std::to_string(60 << 16) + "*3");
}

// "f" and "s" slides over the second of two rows of speed 4: a zero
// parameter spreads the way over the row, a non-zero one steps by its coded
// duration (1/256 semitone or 1/64 volume a unit) and stops at the target.
TEST_F(SornTracks, VolumeAndPitchSlidesToTheRowsNote) {
  auto fixed = [](int v) { return std::to_string(v << 16); };
  auto both = [] {
    return std::to_string(mixer.channel[0].pitch_fx) + "/" +
           std::to_string(mixer.channel[0].vol_fx);
  };
  struct {
    const char *what;
    track_row from, to;
    const std::string expect;  // pitch_fx/vol_fx over the second row
  } cases[] = {
      {"f 0 spreads the volume over the row",
       {48, 1, 16, 255, 0},
       {48, 1, 48, 'f', 0},
       fixed(48) + "/1572864 " + fixed(48) + "/2097152 " + fixed(48) + "/2621440 " + fixed(48) +
           "/" + fixed(48)},
      {"f 2 steps up by 2 << 10",
       {48, 1, 16, 255, 0},
       {48, 1, 48, 'f', 2},
       fixed(48) + "/1050624 " + fixed(48) + "/1052672 " + fixed(48) + "/1054720 " + fixed(48) +
           "/1056768"},
      {"f 2 steps down",
       {48, 1, 48, 255, 0},
       {48, 1, 16, 'f', 2},
       fixed(48) + "/3143680 " + fixed(48) + "/3141632 " + fixed(48) + "/3139584 " + fixed(48) +
           "/3137536"},
      {"s 16 steps the pitch by 16 << 8, the volume over the row",
       {48, 1, 32, 255, 0},
       {60, 1, 64, 's', 16},
       "3149824/2621440 3153920/" + fixed(48) + " 3158016/3670016 3162112/" + fixed(64)},
      {"s 16 steps down",
       {48, 1, 64, 255, 0},
       {36, 1, 64, 's', 16},
       "3141632/" + fixed(64) + " 3137536/" + fixed(64) + " 3133440/" + fixed(64) + " 3129344/" +
           fixed(64)},
      {"s 255 stops at the target",
       {48, 1, 64, 255, 0},
       {50, 1, 64, 's', 255},
       fixed(50) + "/" + fixed(64) + "*4"},
  };
  for (const auto &c : cases) {
    SetUp();
    dc_instrument(1, 1000);
    write_track(0, 4, {c.from, c.to});
    play(0);
    for (int t = 0; t < 4; t++) tick();
    EXPECT_EQ(trace(4, both), c.expect) << c.what;
  }
}

TEST_F(SornTracks, ChannelSearchAndControlCodes) {
  write_track(3, 4, rising(4));
  write_track(4, 4, rising(4));
  // Each search starts one channel further on, among channels 8..15 first;
  // the first search of a fresh synthesiser starts at 1, so at channel 9.
  int32_t first = play(3, -1);
  ASSERT_EQ(first, 9);
  EXPECT_EQ(play(3, -1), first);  // the same sound restarts where it plays
  EXPECT_EQ(play(4, -1), 8 + ((first - 8 + 2) & 7));
  EXPECT_EQ(play(4, 20), -1);
  EXPECT_EQ(play(4, -2), -1);
  // A track record beyond the top of memory is refused.
  EXPECT_EQ(sorn_play_track(60000, 0, 0, 0, 0, SORN_NO_PAN, 64, 0xF00000, 0), -1);
  EXPECT_EQ(sorn_play_track(4, 0, 0, 0, 0, SORN_NO_PAN, 64, -0x30000, 0), -1);
  // Control codes act and report -1.
  EXPECT_EQ(sorn_play_track(TRACK_SET_MIX_VOLUME, -1, 300, 0, 0, 0, 0, 0, 0), -1);
  for (int c = 0; c < SORN_CHANNELS; c++) EXPECT_EQ(mixer.channel[c].mix_vol, 255);
  EXPECT_EQ(sorn_play_track(TRACK_SET_MIX_VOLUME, 5, -3, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(mixer.channel[5].mix_vol, 0);
  EXPECT_EQ(sorn_play_track(TRACK_SET_MIX_VOLUME, 99, 7, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(mixer.channel[15].mix_vol, 7);  // above 15 acts on 15
  EXPECT_EQ(sorn_play_track(TRACK_STOP, 9, 0, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(mixer.channel[9].track_playing, 0);
  EXPECT_EQ(mixer.channel[9].mix_vol, 255);
  EXPECT_EQ(sorn_play_track(TRACK_STOP_RESET, 11, 0, 0, 0, 0, 0, 0, 0), -1);
  EXPECT_EQ(mixer.channel[11].track_playing, 0);
  EXPECT_EQ(mixer.channel[11].mix_vol, 64);
  EXPECT_EQ(sorn_play_track(-5, 2, 0, 0, 0, 0, 0, 0, 0), -1);
  // Every channel in the music: no channel for a search.
  mixer.music_mask = 0xFFFF;
  EXPECT_EQ(play(5, -1), -1);
}

using SornMusic = sorn_fixture;

std::string music_pattern() { return std::to_string(sorn_get_music_state(0)); }

TEST_F(SornMusic, PatternChainsLoopAndStop) {
  struct {
    const char *what;
    std::vector<std::pair<int, uint8_t>> patterns;  // number, flags
    int start;
    const char *expect;
  } cases[] = {
      {"loop back to the loop start", {{0, 1}, {1, 0}, {2, 2}}, 0, "0*2 1*2 2*2 0*2 1*2 2*2"},
      {"pattern 0 alone loops", {{0, 2}}, 0, "0*12"},
      {"walk back to the nearest loop start",
       {{1, 1}, {2, 0}, {3, 2}},
       2,
       "2*2 3*2 1*2 2*2 3*2 1*2"},
      {"stop wins over loop back", {{3, 1}, {4, 0}, {5, 6}}, 3, "3*2 4*2 5*2 -1*6"},
      {"the chain ends after 255", {{255, 0}, {256, 0}}, 255, "255*2 -1*10"},
  };
  for (const auto &c : cases) {
    SetUp();
    dc_instrument(1, 1000);
    write_track(1, 1, rising(2));  // two ticks a pattern
    for (auto [p, flags] : c.patterns) write_pattern(p, flags, 1, {1});
    sorn_play_music(c.start, 0, 255, int32_t(TEST_BASE), 0);
    EXPECT_EQ(trace(12, music_pattern), c.expect) << c.what;
  }
}

TEST_F(SornMusic, PatternLengthTiming) {
  dc_instrument(1, 1000);
  write_track(1, 4, rising(16));
  write_track(2, 1, rising(3), 0, 2);  // loops
  write_pattern(0, 0, 3, {2, 1});
  write_pattern(1, 0, 1, {2, 1});
  sorn_play_music(0, 0, 255, int32_t(TEST_BASE), 0);
  EXPECT_EQ(calc_pattern_ticks_to_play(), 64);
  EXPECT_EQ(sorn_get_music_state(1), 1);
  EXPECT_EQ(trace(65, music_pattern), "0*64 1");
  // Only looping tracks: the pattern never ends by itself.
  EXPECT_EQ(calc_pattern_ticks_to_play(), 0x7FFFFFFF);
  EXPECT_EQ(sorn_get_music_state(1), 0);  // no timing channel
  // A pattern started 20 ticks in ends with its timing track, 44 ticks on,
  // and its last row sounds to the end.
  SetUp();
  dc_instrument(1, 1000);
  write_track(1, 4, rising(16));
  write_track(2, 1, rising(3), 0, 2);
  write_pattern(0, 0, 3, {2, 1});
  write_pattern(1, 0, 1, {2, 1});
  sorn_play_music(0, 0, 255, int32_t(TEST_BASE), 20);
  EXPECT_EQ(mixer.channel[1].row, 5);
  auto last_row = [] {
    return std::to_string(sorn_get_music_state(0)) + ":" +
           std::to_string(mixer.channel[1].track_playing ? mixer.channel[1].pitch : -1);
  };
  std::string t = trace(45, last_row);
  EXPECT_NE(t.find("0:55*4 1:"), std::string::npos) << t;
}

TEST_F(SornMusic, ChannelsKeepOrJoinAcrossPatterns) {
  dc_instrument(1, 1000);
  write_track(1, 1, rising(2));
  write_pattern(0, 0, 1, {1, 1});
  write_pattern(1, 0, 3, {1, 1});
  sorn_play_music(0, 0, 3, int32_t(TEST_BASE), 0);
  sorn_play_track(TRACK_SET_MIX_VOLUME, 0, 100, 0, 0, 0, 0, 0, 0);
  sorn_play_track(TRACK_SET_MIX_VOLUME, 1, 100, 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(trace(3, music_pattern), "0*2 1");
  EXPECT_EQ(mixer.channel[0].mix_vol, 100);
  EXPECT_EQ(mixer.channel[1].mix_vol, 64);
  EXPECT_EQ(mixer.channel[1].music_channel, 1);
  // Out of range starts do nothing.
  sorn_stop_music();
  sorn_play_music(-5, 0, 255, int32_t(TEST_BASE), 0);
  sorn_play_music(0, 0, 255, int32_t(RAM_SIZE - 200), 0);
  EXPECT_EQ(mixer.music_playing, 0);
  EXPECT_EQ(sorn_get_music_state(0), -1);
}

TEST_F(SornMusic, Fades) {
  dc_instrument(1, 1000);
  write_track(1, 1, rising(2));
  write_pattern(0, 2, 1, {1});
  auto vol = [] { return std::to_string(mixer.fade_vol); };
  sorn_play_music(0, 1000, 255, int32_t(TEST_BASE), 0);
  EXPECT_EQ(mixer.fade_len, 120);
  EXPECT_EQ(trace(3, vol), "0 2 4");
  for (int t = 3; t < 119; t++) tick();
  EXPECT_EQ(mixer.fade_vol, 251);
  tick();
  EXPECT_EQ(mixer.fade_vol, 256);
  sorn_fade_out_music(500);
  EXPECT_EQ(mixer.fade_len, 60);
  EXPECT_EQ(trace(2, vol), "256 252");
  for (int t = 2; t < 60; t++) tick();
  EXPECT_EQ(mixer.fade_vol, 0);
  // A finished fade-out leaves the music stepping silently.
  EXPECT_EQ(sorn_get_music_state(0), 0);
  // Fades of 1..8 ms last one tick and reach their level.
  for (int ms : {1, 8}) {
    sorn_play_music(0, ms, 255, int32_t(TEST_BASE), 0);
    EXPECT_EQ(trace(1, vol), "256") << ms;
    sorn_fade_out_music(ms);
    EXPECT_EQ(trace(1, vol), "0") << ms;
  }
  EXPECT_EQ(sorn_ms_to_fade_ticks(20000000), 2400000);
  EXPECT_EQ(sorn_ms_to_fade_ticks(INT32_MAX), 257698037);
  EXPECT_EQ(sorn_ms_to_fade_ticks(-5), 0);
  // Fading out over 0 ms stops at once.
  sorn_fade_out_music(0);
  EXPECT_EQ(sorn_get_music_state(0), -1);
  EXPECT_EQ(mixer.channel[0].track_playing, 0);
}

using SornQueries = sorn_fixture;

TEST_F(SornQueries, ChannelAndMusicState) {
  std::vector<int16_t> dest(65536, 0x5A5A);
  EXPECT_EQ(sorn_get_channel_state(3, 0, nullptr), 0);
  EXPECT_EQ(sorn_get_channel_state(3, 1, nullptr), -1);  // idle
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
  dc_instrument(1, 8000);
  write_track(2, 5, rising(4));
  sorn_play_track(2, 3, 0, 0, 0, -20, 80, int32_t(TEST_BASE), 0);
  note(6, 1, 50);
  auto out = mix(367 * 3);
  EXPECT_EQ(sorn_anything_is_playing(), (1u << 3) | (1u << 6));
  EXPECT_EQ(sorn_get_active_channels(), 1u << 3);
  const int64_t expect[] = {1, 1, 64, -20, 40, 0, 0, 0, 367, 0, 3, 3, 2, 2, 80, TEST_BASE};
  for (int what = 0; what <= 15; what++)
    EXPECT_EQ(sorn_get_channel_state(3, what, nullptr), expect[what]) << what;
  EXPECT_EQ(sorn_get_channel_state(6, 12, nullptr), -1);  // no track
  EXPECT_EQ(sorn_get_channel_state(6, 13, nullptr), 0);
  for (int what : {16, 17, 18, 28, -2})
    EXPECT_EQ(sorn_get_channel_state(3, what, dest.data()), -1) << what;
  for (int c : {-1, 16}) EXPECT_EQ(sorn_get_channel_state(c, 1, dest.data()), -1) << c;
  // The channel's share, a node's output and the whole mix of the last call.
  EXPECT_EQ(sorn_get_channel_state(6, 19, nullptr), -1);
  ASSERT_EQ(sorn_get_channel_state(6, 19, dest.data()), 367);
  for (int i = 0; i < 2 * 367; i++) ASSERT_EQ(dest[i], mixer.out_buf[6][i]) << i;
  EXPECT_EQ(dest[2 * 367], 0x5A5A);
  ASSERT_EQ(sorn_get_channel_state(6, 20, dest.data()), 367);
  EXPECT_EQ(dest[300], 8000);
  ASSERT_EQ(sorn_get_channel_state(-1, -1, dest.data()), 3 * 367);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), dest.begin()));
  EXPECT_EQ(sorn_get_music_state(2), -1);
}

// Random bytes as tracks and patterns, played with random arguments: every
// header value, cell and effect is met, and nothing reads outside the mirror
// or overflows (the sanitizer build checks).
TEST_F(SornMusic, RandomTracksAndPatternsPlaySafely) {
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return int32_t(seed >> 1);
  };
  for (int round = 0; round < 6; round++) {
    SetUp();
    for (uint32_t a = TEST_BASE; a < TEST_BASE + 0x40000; a += 4) {
      int32_t v = next();
      sorn_memcpy(int32_t(a), &v, 4);
    }
    const int32_t edges[] = {0, 1, -1, 255, 256, 65535, INT32_MAX, INT32_MIN};
    auto arg = [&] { return next() % 3 ? next() % 300 - 20 : edges[next() % 8]; };
    sorn_play_music(next() % 256, arg(), next() & 0xFF, int32_t(TEST_BASE), arg());
    for (int i = 0; i < 8; i++)
      sorn_play_track(next() % 400 - 4, next() % 18 - 1, arg(), arg(), 0, arg(), arg(),
                      int32_t(TEST_BASE), arg());
    for (int t = 0; t < 300; t++) {
      tick();
      if (t == 150) sorn_fade_out_music(arg());
    }
    // Whatever it left, stopping everything stops everything.
    sorn_kill_all_audio();
    EXPECT_EQ(sorn_anything_is_playing(), 0u);
    EXPECT_EQ(sorn_get_music_state(0), -1);
  }
}

}  // namespace
