// sornrender: plays one note through the synthesiser and writes the mixed
// 44100 Hz signed 16-bit stereo output as WAV (or raw with --raw).
//
//   sornrender [options] OUT
//     --image FILE   bytes loaded into the mirror at --at (default 0) over the
//                    default audio data; the note then plays --inst of it
//     --at ADDR      load address of the image
//     --inst N       instrument number (default: the built-in one, number 1)
//     --wave ROW     wave row of the built-in sine oscillator (default 0)
//     --base ADDR    channel base address (default 0x30000)
//     --pitch P --vol V --pan P --fx C --fxp N
//     --channels N   the same note on channels 0..N-1 (default 1)
//     --ticks N      length in ticks of 367 frames (default 120)
//     --release T    release the note after T ticks
//     --sfx N        play track N (of the image) on channel 0 instead of a note
//     --music P      play the music of the image from pattern P instead
//     --fade MS      fade the music in over MS milliseconds
//     --fade-out-at T --fade-out MS   fade the music out from tick T on
//     --raw          raw interleaved samples instead of WAV
//   sornrender --dump-wavetables OUT   the default wavetable block, raw
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sorn/mixer.h"
#include "sorn/music.h"
#include "sorn/sorn.h"
#include "sorn/track.h"
#include "tools/sornrender/demo_instrument.h"

static void put32(std::vector<uint8_t> &v, uint32_t x) {
  for (int i = 0; i < 4; i++) v.push_back(uint8_t(x >> (8 * i)));
}
static void put16(std::vector<uint8_t> &v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

static bool write_file(const char *path, const void *data, size_t n) {
  FILE *f = std::fopen(path, "wb");
  bool ok = f && std::fwrite(data, 1, n, f) == n;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) std::fprintf(stderr, "sornrender: cannot write %s\n", path);
  return ok;
}

static bool write_wav(const char *path, const std::vector<int16_t> &s) {
  uint32_t bytes = uint32_t(s.size() * 2);
  std::vector<uint8_t> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  put32(h, 36 + bytes);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put32(h, 16);
  put16(h, 1);  // PCM
  put16(h, 2);
  put32(h, 44100);
  put32(h, 44100 * 4);
  put16(h, 4);
  put16(h, 16);
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  put32(h, bytes);
  h.insert(h.end(), reinterpret_cast<const uint8_t *>(s.data()),
           reinterpret_cast<const uint8_t *>(s.data()) + bytes);
  return write_file(path, h.data(), h.size());
}

static int usage() {
  std::fprintf(stderr, "usage: sornrender [options] OUT | sornrender --dump-wavetables OUT\n");
  return 2;
}

int main(int argc, char **argv) {
  sorn_init();
  if (!demo_mirror_defaults()) {
    std::fprintf(stderr, "sornrender: no default audio data\n");
    return 1;
  }
  const char *image = nullptr, *out = nullptr;
  long at = 0, inst = -1, wave = 0, base = AUDIO_DEFAULT_BASE, pitch = 57, vol = 64;
  long pan = SORN_NO_PAN, fx = SORN_NOT_GIVEN, fxp = 0, channels = 1, ticks = 120, release = -1;
  long sfx = -1, music = -1, fade = 0, fade_out_at = -1, fade_out = 0;
  bool raw = false, dump = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto num = [&](long &v) {
      if (i + 1 >= argc) return false;
      v = std::strtol(argv[++i], nullptr, 0);
      return true;
    };
    bool ok = true;
    if (a == "--image" && i + 1 < argc)
      image = argv[++i];
    else if (a == "--at")
      ok = num(at);
    else if (a == "--inst")
      ok = num(inst);
    else if (a == "--wave")
      ok = num(wave);
    else if (a == "--base")
      ok = num(base);
    else if (a == "--pitch")
      ok = num(pitch);
    else if (a == "--vol")
      ok = num(vol);
    else if (a == "--pan")
      ok = num(pan);
    else if (a == "--fx" && i + 1 < argc)
      fx = (unsigned char)argv[++i][0];
    else if (a == "--fxp")
      ok = num(fxp);
    else if (a == "--channels")
      ok = num(channels);
    else if (a == "--ticks")
      ok = num(ticks);
    else if (a == "--release")
      ok = num(release);
    else if (a == "--sfx")
      ok = num(sfx);
    else if (a == "--music")
      ok = num(music);
    else if (a == "--fade")
      ok = num(fade);
    else if (a == "--fade-out-at")
      ok = num(fade_out_at);
    else if (a == "--fade-out")
      ok = num(fade_out);
    else if (a == "--raw")
      raw = true;
    else if (a == "--dump-wavetables")
      dump = true;
    else if (a[0] != '-' && !out)
      out = argv[i];
    else
      ok = false;
    if (!ok) return usage();
  }
  if (!out || channels < 1 || channels > 16 || ticks < 0 || ticks > 120 * 600) return usage();
  if (dump) return write_file(out, mixer.ram + RAM_WAVETABLES, RAM_SIZE - RAM_WAVETABLES) ? 0 : 1;

  if (image) {
    FILE *f = std::fopen(image, "rb");
    if (!f) {
      std::fprintf(stderr, "sornrender: cannot read %s\n", image);
      return 1;
    }
    std::vector<uint8_t> bytes(RAM_SIZE);
    size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    sorn_memcpy(int32_t(at), bytes.data(), int32_t(n));
  }
  if (inst < 0) {
    inst = 1;
    demo_node nodes[2] = {demo_container(), demo_osc(0, uint8_t(wave))};
    demo_write_instrument(uint32_t(base) + AUDIO_INSTRUMENTS + AUDIO_INSTRUMENT_SIZE, nodes, 2);
  }
  const uint8_t volumes[2] = {64, 64};  // sfx and music volume
  sorn_memcpy(int32_t(RAM_SFX_VOLUME), volumes, 2);
  sorn_set_volume(256);
  sorn_kill_all_audio();
  if (sfx >= 0) {
    sorn_play_track(int32_t(sfx), 0, 0, 0, 0, SORN_NO_PAN, 64, int32_t(base), 0);
  } else if (music >= 0) {
    sorn_play_music(int32_t(music), int32_t(fade), 255, int32_t(base), 0);
  } else {
    for (int c = 0; c < channels; c++) {
      sorn_set_channel_base_addr(uint32_t(c), int32_t(base));
      sorn_set_note(c, int32_t(pitch), int32_t(inst), int32_t(vol), int32_t(fx), int32_t(fxp), 0,
                    int32_t(pan));
    }
  }
  std::vector<int16_t> samples(size_t(ticks) * SORN_SAMPLES_PER_TICK * 2);
  for (long t = 0; t < ticks; t++) {
    if (t == fade_out_at) sorn_fade_out_music(int32_t(fade_out));
    if (t == release)
      for (int c = 0; c < channels; c++)
        sorn_set_note(c, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN, SORN_NOT_GIVEN,
                      SORN_NOT_GIVEN, 0, SORN_NO_PAN);
    sorn_mix(samples.data() + t * SORN_SAMPLES_PER_TICK * 2, SORN_SAMPLES_PER_TICK);
  }
  if (raw) return write_file(out, samples.data(), samples.size() * 2) ? 0 : 1;
  return write_wav(out, samples) ? 0 : 1;
}
