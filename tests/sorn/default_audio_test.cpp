// Default audio data in new processes: the root builds the tables, later
// processes copy the root's pages (changes included), and every process gets
// instrument 0 with its two wavetable slots.
#include "base/ram_layout.h"
#include "machine/memory.h"
#include "kernel/process_life.h"
#include "tests/kernel/kernel_fixture.h"

using DefaultAudio = kernel_fixture;

TEST_F(DefaultAudio, LaterProcessesCopyTheRootsTables) {
  EXPECT_GE(peek2_proc(root, RAM_WAVE_ROWS + 2 * 768), 32700);  // inverted sine, row 0
  poke2_proc(root, RAM_WAVE_ROWS + 2 * 5, 1234);
  int64_t id = spawn("--");
  ASSERT_GE(id, 2);
  proc *p = get_process(id);
  EXPECT_EQ(peek2_proc(p, RAM_WAVE_ROWS + 2 * 5), 1234);
  for (int32_t a = int32_t(RAM_WAVE_NOISE); a < int32_t(RAM_SIZE); a += 4093)
    ASSERT_EQ(peek_proc(p, a), peek_proc(root, a)) << std::hex << a;
  // Instrument 0: a container with envelope-shaped volume, slots 0 and 1.
  const uint8_t head[8] = {0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00};
  const uint8_t slots[8] = {0x00, 0xF8, 0x0A, 0xFF, 0x80, 0xF7, 0x0D, 0x01};
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(peek_proc(p, int32_t(RAM_DEFAULT_INSTRUMENT) + i), head[i]);
    EXPECT_EQ(peek_proc(p, int32_t(RAM_DEFAULT_INSTRUMENT + INST_WAVETABLE_SLOTS) + i), slots[i]);
  }
}

using DefaultAudioWithoutRoot = workstation_fixture;

// A process created while process 1 is absent builds the tables itself.
TEST_F(DefaultAudioWithoutRoot, ANewProcessBuildsItsOwnTables) {
  procs.next_id = 2;
  proc *p = create_process_from_code("--", "p", "/p.lua", "");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(get_process(PID_ROOT), nullptr);
  EXPECT_GE(peek2_proc(p, RAM_WAVE_ROWS + 2 * 768), 32700);  // inverted sine, row 0
  int nonzero = 0;
  for (int32_t i = 0; i < 64; i++) nonzero += peek2_proc(p, int32_t(RAM_WAVE_NOISE) + 2 * i) != 0;
  EXPECT_GT(nonzero, 60);  // noise
}

// The tables are written whole, byte for byte as they were recorded when each
// sample was written on its own (an FNV-1a hash of the 16-bit samples from the
// noise to the top of memory), and every page they cover is marked written.
TEST_F(DefaultAudio, TablesHoldTheirRecordedSamples) {
  uint64_t h = 0xcbf29ce484222325;
  for (int32_t a = int32_t(RAM_WAVE_NOISE); a < int32_t(RAM_SIZE); a += 2)
    h = (h ^ uint16_t(peek2_proc(root, a))) * 0x100000001b3;
  EXPECT_EQ(h, 0xf0e9cf3b5a8e0461ull);
  for (uint32_t a = RAM_WAVE_NOISE; a < RAM_SIZE; a += PROC_PAGE_SIZE)
    ASSERT_EQ(root->mem.page_flags[a >> 12], PAGE_WRITTEN) << std::hex << a;
}
