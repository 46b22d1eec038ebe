// The least a program with the workstation's host layer does at start: the
// same SDL systems, the same audio device started, one line printed, and an
// exit that does not wait for the audio thread. bench_kernel times it beside
// the workstation program.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <SDL.h>

static void silence(void *, Uint8 *stream, int length) { std::memset(stream, 0, size_t(length)); }

int main(int, char **) {
  uint32_t systems = SDL_INIT_TIMER | SDL_INIT_JOYSTICK | SDL_INIT_HAPTIC |
                     SDL_INIT_GAMECONTROLLER | SDL_INIT_EVENTS | SDL_INIT_SENSOR;
  if (SDL_Init(systems | SDL_INIT_VIDEO) != 0) SDL_Init(systems);
  SDL_InitSubSystem(SDL_INIT_AUDIO);
  SDL_AudioSpec want = {}, have = {};
  want.freq = 44100;
  want.format = AUDIO_S16LSB;
  want.channels = 2;
  want.samples = 512;
  want.callback = silence;
  SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (device) SDL_PauseAudioDevice(device, 0);
  std::printf("started\n");
  std::fflush(stdout);
  if (device) SDL_LockAudioDevice(device);
  std::exit(0);
}
