// The audio capture holds exactly what the audio device was given: an SDL
// device on the disk driver plays the mixer's output (a note of the default
// instrument on a ramp) while a capture runs, and the captured bytes are what
// the driver wrote to its file from the first buffer the mixer filled on.
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <SDL.h>
#include <gtest/gtest.h>

#include "sorn/audio_lock.h"
#include "sorn/mixer.h"
#include "tests/host/capture_world.h"
#include "tests/sorn/sorn_fixture.h"

namespace {

std::atomic<int> buffers_mixed{0};

void mixer_callback(void *, Uint8 *stream, int length) {
  sorn_lock_audio();
  sorn_mix(reinterpret_cast<int16_t *>(stream), length / 4);
  audio_capture_feed(stream, length);
  sorn_unlock_audio();
  buffers_mixed++;
}

// Waits until the device has asked for `count` buffers since `from`; a loaded
// machine may run the audio thread rarely, so the bound is loose.
bool wait_for_buffers(int from, int count) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (buffers_mixed.load() - from < count) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

using CaptureAudio = sorn_fixture;

TEST_F(CaptureAudio, CaptureEqualsWhatTheDiskDriverReceived) {
  char tmpl[] = "/tmp/capture_audio_XXXXXX";
  std::string host = mkdtemp(tmpl);
  std::string disk = host + "/device.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", disk.c_str(), 1);
  setenv("SDL_DISKAUDIODELAY", "2", 1);

  proc *wm = capture_world_open(host);
  ASSERT_NE(wm, nullptr);
  sorn_fixture::SetUp();            // the world's reset emptied the mixer's test set-up
  for (int i = 0; i < 1024; i++) {  // row 0 of the wavetable: a ramp
    int16_t s = int16_t(i * 64 - 32768);
    sorn_memcpy(int32_t(RAM_WAVE_ROWS + 2 * i), &s, 2);
  }
  demo_node nodes[2] = {demo_container(), demo_osc(0, 0)};
  demo_write_instrument(test_inst_addr(1), nodes, 2);
  note(0, 1, 60);

  ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
  SDL_AudioSpec want{}, have{};
  want.freq = 44100, want.format = AUDIO_S16LSB, want.channels = 2, want.samples = 512;
  want.callback = mixer_callback;
  SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  ASSERT_NE(dev, 0u) << SDL_GetError();
  audio_capture_start();
  int before = buffers_mixed.load();
  SDL_PauseAudioDevice(dev, 0);
  ASSERT_TRUE(wait_for_buffers(before, 6)) << "the device asked for no sound";
  EXPECT_EQ(audio_capture_end(), 0);
  // Closing the device joins its thread, which writes out the buffer it holds.
  SDL_CloseAudioDevice(dev);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);

  auto slurp = [](const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  std::string captured = slurp(host + "/desk/audio.raw"), received = slurp(disk);
  ASSERT_GE(captured.size(), 4u * 512 * 4) << "a few buffers at least";
  EXPECT_EQ(captured.size() % 2048, 0u);
  // While the device is still paused SDL writes whole buffers of silence that
  // no callback (so no capture) saw; the capture starts at the first buffer
  // the mixer filled, which is not silent.
  size_t chunk = have.size;
  ASSERT_GT(chunk, 0u);
  ASSERT_NE(captured.substr(0, chunk).find_first_not_of('\0'), std::string::npos)
      << "the note sounds from the first buffer";
  size_t skip = 0;
  while (skip + chunk <= received.size() &&
         received.compare(skip, chunk, std::string(chunk, '\0')) == 0)
    skip += chunk;
  ASSERT_GE(received.size() - skip, captured.size());
  EXPECT_EQ(received.compare(skip, captured.size(), captured), 0);
  reset_subsystems();
  std::filesystem::remove_all(host);
}

}  // namespace
