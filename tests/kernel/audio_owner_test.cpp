// Audio ownership and the memory mirror, and note, sfx and music called from
// processes: who may take the audio, which pages reach the mirror, what an
// owner's removal, a restart and a reset leave, and what each sound call
// does to the synthesiser.
#include "sorn/audio_owner.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/cpu_budget.h"
#include "machine/memory.h"
#include "sorn/mixer.h"
#include "sorn/sorn.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

namespace {

struct audio_owner_test : kernel_fixture {
  proc *p = nullptr, *q = nullptr;  // two user processes, ids 4 and 5

  void SetUp() override {
    kernel_fixture::SetUp();
    while (procs.next_id < PID_FIRST_USER) ASSERT_NE(spawn("--"), 0);
    p = get_process(spawn("--", "p"));
    q = get_process(spawn("--", "q"));
    ASSERT_TRUE(p && q);
    ASSERT_EQ(p->id, PID_FIRST_USER);
    sorn_set_volume(256);
    for (proc *x : {p, q}) {
      poke_proc(x, int32_t(RAM_SFX_VOLUME), 64);
      poke_proc(x, int32_t(RAM_MIX_VOLUME), 64);
      poke_proc(x, int32_t(RAM_AUDIO_BASE_PAGE), 3);
      poke_proc(x, int32_t(RAM_MUSIC_BASE_PAGE), 3);
    }
  }

  // Runs Lua code in x's state as x's own slice would; the result as text.
  std::string eval(proc *x, const std::string &code) {
    proc *previous = cproc;
    set_current_process(x);
    lua_State *L = x->L;
    int top = lua_gettop(L);
    x->slice_depth++;
    int rc = luaL_loadstring(L, code.c_str());
    if (rc == LUA_OK) rc = lua_pcall(L, 0, 1, 0);
    x->slice_depth--;
    const char *s = luaL_tolstring(L, -1, nullptr);
    std::string out = (rc == LUA_OK ? "" : "error: ") + std::string(s ? s : "");
    lua_settop(L, top);
    set_current_process(previous);
    return out;
  }

  // The settle step after a frame.
  static void settle() {
    if (audio_op_start(0, 1) == 0) audio_op_end();
  }

  static std::vector<int16_t> mix(int frames) {
    std::vector<int16_t> out(size_t(frames) * 2);
    sorn_mix(out.data(), frames);
    return out;
  }

  // Instrument 1 at base 0x30000 of x: one oscillator on a one-sample table
  // of value, so the channel's node 0 outputs value at volume 64.
  static void dc_instrument(proc *x, int16_t value) {
    int32_t inst = int32_t(AUDIO_DEFAULT_BASE + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE);
    const uint8_t node[16] = {0x00, 0x02, 0, 0, 0x02, 64, 0, 0, 0x01, 0, 0, 0, 0x01, 0, 0, 0};
    for (int32_t i = 0; i < 16; i++) poke_proc(x, inst + i, node[i]);
    poke_proc(x, inst + 16, 0x01);
    const uint8_t slot[4] = {0x00, 0x10, 0, 1};  // the table at 0x100000
    for (int32_t i = 0; i < 4; i++) poke_proc(x, inst + int32_t(INST_WAVETABLE_SLOTS) + i, slot[i]);
    poke2_proc(x, 0x100000, value);
  }

  static bool mirror_all_zero() {
    return std::all_of(mixer.ram, mixer.ram + RAM_SIZE, [](uint8_t b) { return b == 0; });
  }
};

TEST_F(audio_owner_test, AProcessPlaysWhatItWroteIntoItsOwnMemory) {
  dc_instrument(p, 8000);
  EXPECT_EQ(eval(p, "return select('#', note(48, 1, 64))"), "0");
  EXPECT_EQ(app.audio_owner, p->id);
  EXPECT_EQ(app.mirrored_owner, p->id);
  auto out = mix(2 * 367);
  EXPECT_EQ(out[2 * 500], 8000 * 3272 / 4096);  // centred
  EXPECT_EQ(out[2 * 500 + 1], 8000 * 3272 / 4096);
  // The settle step carries the owner's later writes into the mirror.
  poke2_proc(p, 0x100000, -8000);
  settle();
  out = mix(2 * 367);
  EXPECT_EQ(out[2 * 500], -8000 * 3272 / 4096);
}

TEST_F(audio_owner_test, PriorityDecidesWhileSomethingPlays) {
  p->audio_priority = 2;
  q->audio_priority = 1;
  eval(p, "note(60)");
  EXPECT_NE(sorn_anything_is_playing(), 0u);
  EXPECT_EQ(audio_op_start(q->id, 1), 1);  // refused, nothing changes
  EXPECT_EQ(app.audio_owner, p->id);
  eval(q, "note(50, 0, 64, 0, 0, 1)");
  EXPECT_EQ(mixer.channel[1].inst, 255);
  // Once the owner's sound has stopped the same request takes the audio.
  eval(p, "note()");
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
  ASSERT_EQ(audio_op_start(q->id, 1), 0);
  audio_op_end();
  EXPECT_EQ(app.audio_owner, q->id);
  // An equal priority takes it while something plays, and a new owner hears
  // nothing of the old owner's sound.
  eval(q, "note(50)");
  p->audio_priority = 1;
  eval(p, "note(60, 0, 64, 0, 0, 2)");
  EXPECT_EQ(app.audio_owner, p->id);
  EXPECT_EQ(sorn_anything_is_playing(), 1u << 2);
  // Ids 1 to 3 take the audio at once.
  p->audio_priority = 9;
  ASSERT_EQ(audio_op_start(PID_ROOT, 1), 0);
  audio_op_end();
  EXPECT_EQ(app.audio_owner, PID_ROOT);
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
}

TEST_F(audio_owner_test, OnlyPagesWrittenSinceTheLastCopyAreCopied) {
  eval(p, "note(60)");
  const uint32_t written = 0x40000, untouched = 0x50000;
  poke_proc(p, int32_t(untouched), 0);  // present in p
  settle();
  mixer.ram[untouched] = 0x77;  // a mark only a copy of that page would undo
  poke_proc(p, int32_t(written), 5);
  settle();
  EXPECT_EQ(mixer.ram[written], 5);
  EXPECT_EQ(mixer.ram[untouched], 0x77);
  // Without force, the same owner's writes wait for the next forced copy.
  poke_proc(p, int32_t(written), 6);
  ASSERT_EQ(audio_op_start(p->id, 0), 0);
  audio_op_end();
  EXPECT_EQ(mixer.ram[written], 5);
  settle();
  EXPECT_EQ(mixer.ram[written], 6);
}

// Writes that go through no page mark (a userdata mapped over the owner's
// wavetable, changed with `set`) are heard from the next tick on.
TEST_F(audio_owner_test, WritesThroughAMappedUserdataReachTheMirror) {
  dc_instrument(p, 8000);
  EXPECT_EQ(eval(p, "_u = userdata('i16', 2048) _u:set(0, 8000) return _map_ram(_u, 0x100000)"),
            "4096");
  eval(p, "note(48, 1, 64)");
  auto out = mix(367 + 100);
  EXPECT_EQ(out[2 * 300], 8000 * 3272 / 4096);
  eval(p, "_u:set(0, -8000)");
  settle();
  out = mix(367);
  EXPECT_EQ(out[2 * 300], -8000 * 3272 / 4096);
  // A note call copies them too, before it touches the synthesiser.
  eval(p, "_u:set(0, 5000) note(48, 1, 64, 0, 0, 1)");
  out = mix(2 * 367);
  EXPECT_EQ(out[2 * (367 + 300) + 1], 2 * (5000 * 3272 / 4096));
}

// The settle step compares a mapped page only when something may have
// written it since the last settle: a mark left in the mirror, which only a
// copy of its page would undo, survives while a mapping is left alone, and
// is undone when the record is written (through a call that takes it, as the
// draw target, as the current map); a poke into a record mapped at two
// places may show at the other, so every mapped page is compared then.
TEST_F(audio_owner_test, MappedPagesAreComparedOnlyWhenWritten) {
  eval(p, "note(60)");
  ASSERT_EQ(eval(p, "_u = userdata('u8', 1024, 1024) return _map_ram(_u, 0x200000)"), "1048576");
  ASSERT_EQ(
      eval(p, "_v = userdata('u8', 8192) _map_ram(_v, 0x400000) return _map_ram(_v, 0x500000)"),
      "8192");
  ASSERT_EQ(eval(p, "_m = userdata('i16', 64, 32) return _map_ram(_m, 0x100000)"), "4096");
  const uint32_t pages[3] = {0x2A0000, 0x501000, RAM_MAP};  // in _u, _v's second place, _m
  struct {
    const char *what, *code;
    int undone;  // bit k: the mark in pages[k] is undone
  } cases[] = {
      {"nothing", "", 0},
      {"another record", "local w = userdata('u8', 64) w:set(0, 1)", 0},
      {"a call that takes it", "_u:set(4, 640, 1)", 1},
      {"drawing into it", "_set_draw_target(_u) rectfill(0, 640, 7, 640, 2)", 1},
      {"drawing again", "rectfill(0, 640, 7, 640, 3)", 1},
      {"the current map", "mset(2, 0, 7)", 4},
      {"a poke at the other place", "poke(0x401004, 9)", 7},
  };
  for (const auto &c : cases) {
    settle();
    for (uint32_t a : pages) mixer.ram[a + 4] = 0x77;
    ASSERT_EQ(eval(p, std::string(c.code) + " return 1"), "1") << c.what;
    settle();
    for (int k = 0; k < 3; k++) {
      uint32_t a = pages[k] + 4;
      EXPECT_EQ(mixer.ram[a] == 0x77, !((c.undone >> k) & 1)) << c.what << " at " << std::hex << a;
      if ((c.undone >> k) & 1) {
        EXPECT_EQ(mixer.ram[a], peek_proc(p, int32_t(a))) << c.what;
      }
    }
  }
}

// pal() puts the colour tables back with a copy of its own; the mirror
// follows it as it follows any write: a wavetable kept in the colour-table
// pages plays the restored bytes from the next settle step on.
TEST_F(audio_owner_test, PalRestoringTheColourTablesReachesTheMirror) {
  dc_instrument(p, 0);
  int32_t slot = int32_t(AUDIO_DEFAULT_BASE + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE +
                         INST_WAVETABLE_SLOTS);
  poke2_proc(p, slot, int32_t(RAM_COLOUR_TABLES >> 8));  // the one-sample table at 0x8000
  poke2_proc(p, int32_t(RAM_COLOUR_TABLES), 8000);
  eval(p, "note(48, 1, 64)");
  auto out = mix(2 * 367);
  EXPECT_EQ(out[2 * 500], 8000 * 3272 / 4096);
  eval(p, "pal()");
  int16_t restored = int16_t(peek2_proc(p, int32_t(RAM_COLOUR_TABLES)));
  ASSERT_NE(restored, 8000);
  settle();
  const uint32_t end = RAM_COLOUR_TABLES + RAM_COLOUR_TABLE_PAGES * RAM_PAGE_SIZE;
  for (uint32_t a = RAM_COLOUR_TABLES; a < end; a++)
    ASSERT_EQ(mixer.ram[a], peek_proc(p, int32_t(a))) << std::hex << a;
  out = mix(367);
  EXPECT_EQ(out[2 * 300], restored * 3272 / 4096);
}

// A change of owner copies only the pages in which the two memories differ,
// leaves the mirror equal to the new owner's memory, and is paid for by the
// process that takes the audio.
TEST_F(audio_owner_test, AChangeOfOwnerCopiesOnlyWhatDiffers) {
  poke_proc(p, 0x200000, 1);  // a page only p has
  poke_proc(q, 0x300000, 2);  // one only q has
  eval(p, "note(60)");
  EXPECT_EQ(mixer.ram[0x200000], 1);
  eval(p, "note()");
  auto cycles_of = [&](const char *code) {
    cpu_slice_begin(CPU_CYCLES_PER_FRAME);
    eval(q, code);
    return int64_t(cpu_budget.cycles);
  };
  int64_t taking = cycles_of("note(60)"), again = cycles_of("note(60)");
  int64_t charged = taking - again;  // less the cost of the call itself
  EXPECT_EQ(app.audio_owner, q->id);
  EXPECT_EQ(mixer.ram[0x200000], 0);
  EXPECT_EQ(mixer.ram[0x300000], 2);
  for (uint32_t page = 0; page < RAM_PAGES; page++) {
    const uint8_t *own = q->mem.own_page[page], *mirror = mixer.ram + page * RAM_PAGE_SIZE;
    bool same = own ? std::memcmp(own, mirror, RAM_PAGE_SIZE) == 0
                    : std::all_of(mirror, mirror + RAM_PAGE_SIZE, [](uint8_t b) { return !b; });
    ASSERT_TRUE(same) << page;
  }
  // Comparing q's present pages and copying a few costs far less than
  // copying all 4096 pages (32 cycles each, as a memcpy is charged).
  EXPECT_GT(charged, 100);
  EXPECT_LT(charged, int64_t(RAM_PAGES) * 32 / 4);
}

TEST_F(audio_owner_test, RemovedOwnerLeavesAZeroMirrorAndSilence) {
  eval(p, "note(60)");
  kill_process(p);
  EXPECT_EQ(app.audio_owner, 0);
  settle();
  EXPECT_EQ(app.audio_owner, -2);
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
  EXPECT_TRUE(mirror_all_zero());
  EXPECT_EQ(audio_op_start(0, 1), 1);  // nobody owns the audio
}

TEST_F(audio_owner_test, RestartsAndResets) {
  eval(p, "note(60)");
  // Restarting another process leaves the owner and its mirror alone.
  restart_process(q);
  EXPECT_EQ(app.audio_owner, p->id);
  poke_proc(p, 0x40000, 9);
  settle();
  EXPECT_EQ(mixer.ram[0x40000], 9);
  EXPECT_NE(sorn_anything_is_playing(), 0u);
  // Restarting the owner silences it; its next request mirrors all of its
  // new memory, where the old page is gone.
  restart_process(p);
  EXPECT_EQ(app.audio_owner, -2);
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
  eval(p, "note(60)");
  EXPECT_EQ(mixer.ram[0x40000], 0);
  // A reset (every reboot) stops all sound and clears the mirror at once.
  EXPECT_NE(sorn_anything_is_playing(), 0u);
  reset_subsystems();
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
  EXPECT_EQ(app.audio_owner, -2);
  EXPECT_TRUE(mirror_all_zero());
}

TEST_F(audio_owner_test, NoteArguments) {
  sorn_channel *c0 = &mixer.channel[0];
  struct {
    const char *args;
    int32_t pitch;
  } cases[] = {{"60", 60}, {"'61'", 61}, {"60.9", 60}, {"-60.9", -60},     {"'abc'", 0},
               {"{}", 48}, {"true", 48}, {"nil", 48},  {"1e20", INT32_MIN}};
  for (auto c : cases) {
    eval(p, std::string("note(") + c.args + ")");
    EXPECT_EQ(c0->pitch, c.pitch) << c.args;
  }
  eval(p, "note(60)");
  EXPECT_EQ(c0->inst, 0);
  EXPECT_EQ(c0->vol, 64);
  EXPECT_EQ(c0->mix_vol, 64);
  EXPECT_EQ(c0->base_addr, int32_t(AUDIO_DEFAULT_BASE));
  // An explicit nil seventh argument does not retrigger; true does.
  sorn_channel *c3 = &mixer.channel[3];
  eval(p, "note(60, 1, 64, 118, 0, 3)");  // vibrato moves fx_phase
  mix(3 * 367);
  int32_t phase = c3->fx_phase;
  ASSERT_GT(phase, 0);
  eval(p, "note(60, 1, 64, 118, 0, 3, nil)");
  EXPECT_EQ(c3->fx_phase, phase);
  eval(p, "note(60, 1, 64, 118, 0, 3, true)");
  EXPECT_EQ(c3->fx_phase, 0);
  // A channel beyond 15 changes nothing; no arguments stop everything.
  std::vector<uint8_t> before(sizeof(sorn_channel) * SORN_CHANNELS);
  std::memcpy(before.data(), mixer.channel, before.size());
  eval(p, "note(60, 1, 64, 0, 0, 20)");
  EXPECT_EQ(std::memcmp(before.data(), mixer.channel, before.size()), 0);
  eval(p, "note()");
  EXPECT_EQ(sorn_anything_is_playing(), 0u);
}

TEST_F(audio_owner_test, SfxAndMusic) {
  // Track 3 at base 0x30000: 16 rows of speed 2.
  int32_t track = int32_t(AUDIO_DEFAULT_BASE + AUDIO_TRACKS + 3 * AUDIO_TRACK_SIZE);
  poke_proc(p, track, 16);
  poke_proc(p, track + 2, 2);
  poke_proc(p, int32_t(RAM_MIX_VOLUME), 40);
  EXPECT_EQ(eval(p, "return select('#', sfx(3, 2, 4, 8))"), "0");
  sorn_channel *c2 = &mixer.channel[2];
  EXPECT_EQ(c2->track_playing, 1);
  EXPECT_EQ(c2->track, 3);
  EXPECT_EQ(c2->row, 4);
  EXPECT_EQ(c2->end_row, 12);
  EXPECT_EQ(c2->mix_vol, 40);
  EXPECT_EQ(c2->base_addr, int32_t(AUDIO_DEFAULT_BASE));
  eval(p, "sfx(3)");
  EXPECT_EQ(sorn_get_active_channels(), 1u << 2);  // restarted where it plays
  eval(p, "sfx(-4, -1, 300)");
  for (int c = 0; c < SORN_CHANNELS; c++) EXPECT_EQ(mixer.channel[c].mix_vol, 255);
  eval(p, "sfx(-4, 5, -3)");
  EXPECT_EQ(mixer.channel[5].mix_vol, 0);
  eval(p, "sfx(-1, 2)");
  EXPECT_EQ(sorn_get_active_channels(), 0u);

  // Pattern 0 of the music at 0x30000 plays track 3 on channel 0.
  int32_t pattern = int32_t(AUDIO_DEFAULT_BASE + MUSIC_PATTERNS);
  poke_proc(p, pattern + int32_t(PATTERN_MASK), 1);
  poke_proc(p, pattern, 3);
  EXPECT_EQ(eval(p, "return select('#', music())"), "0");
  EXPECT_EQ(mixer.music_playing, 1);
  EXPECT_EQ(mixer.music_mask, 255);
  EXPECT_EQ(mixer.music_base, int32_t(AUDIO_DEFAULT_BASE));
  EXPECT_EQ(mixer.fade_vol, 256);
  EXPECT_EQ(sorn_get_music_state(0), 0);
  EXPECT_EQ(mixer.channel[0].track, 3);
  // Below -1 nothing happens; -1 fades out, or stops at once.
  eval(p, "music(-5, 0, 3, 0x40000)");
  EXPECT_EQ(mixer.music_mask, 255);
  EXPECT_EQ(mixer.music_base, int32_t(AUDIO_DEFAULT_BASE));
  mix(8000);
  EXPECT_EQ(sorn_get_music_state(0), 0);
  eval(p, "music(-1, 1000)");
  EXPECT_EQ(mixer.fade_len, 120);
  eval(p, "music(-1)");
  EXPECT_EQ(sorn_get_music_state(0), -1);
  EXPECT_EQ(sorn_get_active_channels(), 0u);
}

}  // namespace
