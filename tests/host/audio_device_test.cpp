// The audio device path: SDL's "disk" driver writes what the callback
// produced to a file, which must equal the synthesiser's own mix byte for
// byte (no conversion: the device takes our format as it is).
#include "host/audio_device.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "base/config.h"
#include "base/debug_log.h"
#include "machine/app.h"
#include "machine/process.h"
#include "sorn/audio_lock.h"
#include "sorn/mixer.h"
#include "host/os_host.h"
#include "tests/sorn/sorn_fixture.h"

namespace {

struct audio_device_test : sorn_fixture {
  // A sine note on channel 0 and a noise note on channel 1, from a fresh mixer.
  void start_notes() {
    sorn_fixture::SetUp();
    ASSERT_TRUE(demo_mirror_defaults());
    demo_node sine[2] = {demo_container(), demo_osc(0, 0)};
    demo_write_instrument(test_inst_addr(1), sine, 2);
    demo_node noise[2] = {demo_container(), demo_osc(0, 0)};
    noise[1].slot = 1;
    demo_write_instrument(test_inst_addr(2), noise, 2);
    std::srand(7);
    note(0, 1, 57);
    note(1, 2, 40);
  }
};

TEST_F(audio_device_test, DiskDriverReceivesTheMixByteForByte) {
  std::string out = "/tmp/kvd_disk_audio_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
  setenv("SDL_DISKAUDIODELAY", "1", 1);
  start_notes();
  ASSERT_TRUE(open_audio_device());
  const size_t want = 64 * AUDIO_FRAMES * AUDIO_FRAME_BYTES;
  for (int i = 0; i < 6000; i++) {  // up to 30 s on a busy machine
    std::ifstream f(out, std::ios::binary | std::ios::ate);
    if (f && size_t(f.tellg()) >= want) break;
    usleep(5000);
  }
  // The nesting lock keeps the callback out while held.
  sorn_lock_audio();
  sorn_lock_audio();
  sorn_unlock_audio();
  sorn_unlock_audio();
  close_audio_device();
  std::ifstream f(out, std::ios::binary);
  std::vector<char> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(out.c_str());
  ASSERT_GE(got.size(), want);
  ASSERT_EQ(got.size() % (AUDIO_FRAMES * AUDIO_FRAME_BYTES), 0u);

  // Between opening the device and starting it, the driver's thread may
  // write whole buffers of silence that no callback filled (a loaded machine
  // runs it first); the mix starts at the first buffer that sounds.
  const size_t block_bytes = AUDIO_FRAMES * AUDIO_FRAME_BYTES;
  size_t skip = 0;
  while (skip + block_bytes <= got.size() &&
         std::all_of(got.begin() + skip, got.begin() + skip + block_bytes,
                     [](char c) { return c == 0; }))
    skip += block_bytes;
  ASSERT_GE(got.size() - skip, want / 2) << "the device played the mix";

  start_notes();
  std::vector<int16_t> mixed;
  for (size_t done = skip; done < got.size(); done += block_bytes) {
    std::vector<int16_t> block = mix(AUDIO_FRAMES);
    mixed.insert(mixed.end(), block.begin(), block.end());
  }
  ASSERT_TRUE(std::any_of(mixed.begin(), mixed.begin() + AUDIO_FRAMES * 2, [](int16_t s) {
    return s != 0;
  })) << "the mix sounds from its first buffer, so no mixed buffer was skipped";
  ASSERT_EQ(std::memcmp(got.data() + skip, mixed.data(), got.size() - skip), 0);
  int16_t peak = 0;
  for (int16_t s : mixed) peak = std::max<int16_t>(peak, int16_t(std::abs(s)));
  EXPECT_GT(peak, 1000);  // a sound, not silence
}

// The callback writes silence without mixing only while nothing plays and
// its last buffer was silent: a note, and the tail after it, always sound.
TEST_F(audio_device_test, SilenceShortcutNeverSwallowsSound) {
  sorn_fixture::SetUp();
  ASSERT_TRUE(demo_mirror_defaults());
  const int bytes = AUDIO_FRAMES * AUDIO_FRAME_BYTES;
  std::vector<uint8_t> buffer(bytes);
  auto callback_peak = [&] {
    std::fill(buffer.begin(), buffer.end(), 0x55);
    host_mixer_callback(nullptr, buffer.data(), bytes);
    int peak = 0;
    for (int i = 0; i + 1 < bytes; i += 2) {
      int16_t s;
      std::memcpy(&s, &buffer[i], 2);
      peak = std::max(peak, std::abs((int)s));
    }
    return peak;
  };
  host_audio.audio_output_silent = false;
  EXPECT_EQ(callback_peak(), 0);  // mixed: silence
  EXPECT_TRUE(host_audio.audio_output_silent);
  int32_t phase = mixer.tick_phase;
  EXPECT_EQ(callback_peak(), 0);       // not mixed: silence all the same
  EXPECT_EQ(mixer.tick_phase, phase);  // the synthesiser did not run
  demo_node sine[2] = {demo_container(), demo_osc(0, 0)};
  demo_write_instrument(test_inst_addr(1), sine, 2);
  note(0, 1, 57);
  EXPECT_GT(callback_peak(), 1000);
  EXPECT_FALSE(host_audio.audio_output_silent);
}

// After a note is released nothing is held, yet its sound goes on: an echo's
// repeats after the direct sound has stopped, and a one-shot whose level
// follows a data envelope that needs no hold (started and released between
// two buffers, after silence). The callback gives every buffer exactly as
// the mixer itself does: each repeat is heard when it is due, never later.
TEST_F(audio_device_test, SilenceShortcutKeepsReleasedSounds) {
  const int bytes = AUDIO_FRAMES * AUDIO_FRAME_BYTES;
  struct {
    const char *name;
    uint8_t level_envelope[24];  // envelope 0, on the oscillator's volume
    bool echo;
    int held_buffers;  // mixed between the note and its release
  } cases[] = {
      // ADSR: full while held, nothing once released; an echo of delay 40.0
      // (5040 samples, some ten buffers) and feedback 0.5 repeats it
      {"echo tail", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0}, true, 2},
      // data: three steps of 4 ticks at full level, then nothing
      {"one-shot", {2, 0, 4, 0, 0, 0, 0, 0, 255, 255, 255}, false, 0},
  };
  for (const auto &c : cases) {
    std::vector<int16_t> heard[2];  // by the mixer, by the callback
    for (int via_callback = 0; via_callback < 2; via_callback++) {
      sorn_fixture::SetUp();
      ASSERT_TRUE(demo_mirror_defaults());
      demo_node nodes[3] = {demo_container(), demo_osc(0, 0), demo_fx(0, NODE_ECHO, 40, 128)};
      const uint8_t level[4] = {0x06, 64, 0, 0};  // envelope 0 times the parent's
      std::memcpy(nodes[1].mval[0], level, 4);
      demo_write_instrument(test_inst_addr(1), nodes, c.echo ? 3 : 2);
      sorn_memcpy(int32_t(test_inst_addr(1) + INST_ENVELOPES), c.level_envelope, 24);
      host_audio.audio_output_silent = false;
      std::vector<int16_t> &out = heard[via_callback];
      auto buffers = [&](int count) {
        for (int i = 0; i < count; i++) {
          std::vector<int16_t> b(AUDIO_FRAMES * 2, 0x5555);
          if (via_callback)
            host_mixer_callback(nullptr, reinterpret_cast<uint8_t *>(b.data()), bytes);
          else
            b = mix(AUDIO_FRAMES);
          out.insert(out.end(), b.begin(), b.end());
        }
      };
      for (int round = 0; round < 5; round++) {
        if (round > 0) buffers(8);  // silence before the note
        note(0, 1, 57);
        buffers(c.held_buffers);
        sorn_set_note(0, 255, 255, 255, 255, 255, 0, SORN_NO_PAN);
        buffers(100);
      }
    }
    ASSERT_EQ(heard[0].size(), heard[1].size());
    // Every round sounds after its release, and repeats: the case is the one
    // that matters.
    const size_t round_values = heard[0].size() / 5;
    for (int round = 0; round < 5; round++) {
      size_t released = round * round_values + size_t(round > 0 ? 8 : 0) * AUDIO_FRAMES * 2 +
                        size_t(c.held_buffers) * AUDIO_FRAMES * 2;
      int bursts = 0;
      bool was_loud = false;
      for (size_t b = released; b < (round + 1) * round_values; b += AUDIO_FRAMES * 2) {
        int peak = 0;
        for (size_t i = b; i < b + AUDIO_FRAMES * 2; i++)
          peak = std::max(peak, std::abs(heard[0][i]));
        bursts += peak > 100 && !was_loud;
        was_loud = peak > 100;
      }
      EXPECT_GE(bursts, c.echo ? 8 : 1) << c.name << " round " << round;
    }
    EXPECT_TRUE(heard[0] == heard[1]) << c.name;
  }
}

// The nice values of this program's threads whose name starts with prefix.
std::vector<int> thread_nices(const std::string &prefix) {
  std::vector<int> out;
  DIR *d = opendir("/proc/self/task");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string task = std::string("/proc/self/task/") + e->d_name;
    std::string name;
    std::getline(std::ifstream(task + "/comm"), name);
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // Field 19 of stat is the nice value; the name (field 2) ends at the last ')'.
    std::string stat;
    std::getline(std::ifstream(task + "/stat"), stat);
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && rest >> field; i++) {}
    out.push_back(std::atoi(field.c_str()));
  }
  closedir(d);
  return out;
}

// SDL raises its audio thread as far as it may (nice -20 as root); the
// device's thread must come back to the program's own priority so that it
// does not take the frame loop's share of a busy machine.
TEST_F(audio_device_test, DeviceThreadRunsAtTheProgramsPriority) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  start_notes();
  ASSERT_TRUE(open_audio_device());
  int main_nice = getpriority(PRIO_PROCESS, 0);
  std::vector<int> nices;
  for (int i = 0; i < 4000; i++) {  // up to 20 s on a busy machine
    nices = thread_nices("SDLAudio");
    if (nices.size() == 1 && nices[0] == main_nice) break;
    usleep(5000);
  }
  close_audio_device();
  EXPECT_EQ(nices, std::vector<int>{main_nice});
}

// A workstation without sound says why in its log: the driver that could not
// start, or the device that could not be opened and its driver.
TEST_F(audio_device_test, ADeviceThatFailsToOpenIsNamedInTheLog) {
  char dir[] = "/tmp/kvd_audio_log_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  snprintf(config.home, sizeof config.home, "%s", dir);
  debug_log_open_allowed();
  const struct {
    const char *driver, *file, *logged;
  } cases[] = {
      {"kvd_no_such_driver", "",
       "** no sound: no audio driver could be started (audio driver kvd_no_such_driver): "},
      {"disk", "/nonexistent_kvd_folder/out.raw", "could not be opened (audio driver disk): "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.driver);
    setenv("SDL_AUDIODRIVER", c.driver, 1);
    setenv("SDL_DISKAUDIOFILE", c.file, 1);
    // Earlier opens left the subsystem started (on the driver then chosen).
    for (int i = 0; i < 16 && SDL_WasInit(SDL_INIT_AUDIO); i++) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(open_audio_device());
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("** audio init failed ", 0), 0u);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    std::ifstream f(std::string(dir) + "/log.txt");
    std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
  }
  EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

}  // namespace
