// Throughput of the rasteriser, sprites, the masked window copy and the frame
// composition, each beside a baseline on the same bytes in the same run:
// memset for fills and lines, memcpy for sprites and copies, SDL's software
// blitter for sprites and SDL's 8-bit to ARGB conversion for the frame.
// Prints the ratio (ours / baseline throughput) at the end.
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/bench/bench_ratio.h"
#include "gfx/blit.h"
#include "gfx/pixel.h"
#include "gfx/shapes.h"
#include "gfx/video.h"
#include "machine/app.h"
#include "base/config.h"
#include "machine/memory.h"
#include "kernel/process_life.h"
#include "machine/process.h"
#include "userdata/udata.h"

namespace {

constexpr int32_t W = SCREEN_WIDTH, H = SCREEN_HEIGHT;

// A bitmap made outside Lua.
struct bitmap_block {
  std::vector<uint64_t> words;
  udata *b;
  bitmap_block(uint32_t w, uint32_t h) : words((sizeof(udata) + w * h + 7) / 8, 0) {
    b = reinterpret_cast<udata *>(words.data());
    b->utype = UTYPE_U8, b->dims = 2, b->width = w, b->height = h;
    for (uint32_t i = 0; i < w * h; i++) udata_elements(b)[i] = uint8_t(i * 7 + i / w);
  }
};

// Processes 1 to 3 with the default draw state; process 3 is the one shown.
proc *wm = nullptr;
void setup_processes() {
  config.headless = 1;
  processes_init();
  std::memset(&app, 0, sizeof app);
  app.audio_owner = -2;
  for (int i = 0; i < 3; i++) wm = create_process_from_code("", "bench", "/bench.lua", "");
  app.userland_booted = 1;
  app.boot_start_frame = 1;
  app.frame_count = 1000;
  init_default_coltabs();
  for (proc *p : {get_process(1), wm}) {
    set_current_process(p);
    for (int i = 0; i < 4 * GFX_COLTAB_BYTES; i++)
      poke(int32_t(RAM_COLOUR_TABLES) + i, default_coltabs[i]);
    for (int t = 0; t < 4; t++) p->mem.page_flags[GFX_COLTAB_PAGE + t] = 0;
    for (uint32_t a = RAM_READ_MASK; a <= RAM_SHAPE_TARGET_MASK; a++) poke(int32_t(a), 0x3F);
    for (int i = 0; i < GFX_COLOURS; i++) poke(int32_t(RAM_DISPLAY_PALETTE) + i, i);
    for (uint32_t i = 0; i < 256; i++) {
      poke2(int32_t(RAM_RGB_PALETTE + 4 * i), int32_t(default_system_pal[i] & 0xFFFF));
      poke2(int32_t(RAM_RGB_PALETTE + 4 * i + 2), int32_t(default_system_pal[i] >> 16));
    }
    poke2(int32_t(RAM_DISPLAY_WIDTH), W);
    poke2(int32_t(RAM_DISPLAY_HEIGHT), H);
    for (int32_t i = 0; i < W * H; i++) poke(int32_t(RAM_VIDEO) + i, (i * 13 + i / W) & 0xFF);
  }
  set_current_process(get_process(1));
  cproc->target_clip = {0, W, 0, H};
}

bitmap_block &screen() {
  static bitmap_block s(W, H);
  return s;
}

void bytes(benchmark::State &state, int64_t n) {
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// ---- fills ----
void run_memset(benchmark::State &state) {
  int64_t side = state.range(0);
  for (auto _ : state) {
    for (int64_t y = 0; y < side; y++)
      std::memset(udata_elements(screen().b) + y * W, 7, size_t(side));
    benchmark::ClobberMemory();
  }
  bytes(state, side * side);
}
void run_rectfill(benchmark::State &state) {
  int64_t side = state.range(0);
  for (auto _ : state) {
    rectfill(screen().b, 0, 0, int32_t(side - 1), int32_t(side - 1), 7);
    benchmark::ClobberMemory();
  }
  bytes(state, side * side);
}
void run_circfill(benchmark::State &state) {
  int64_t side = state.range(0);
  int64_t area = 0;
  {
    bitmap_block probe(W, H);
    std::memset(udata_elements(probe.b), 0, W * H);
    draw_filloval(probe.b, 0, 0, int32_t(side - 1), int32_t(side - 1), 7);
    for (int32_t i = 0; i < W * H; i++) area += udata_elements(probe.b)[i] != 0;
  }
  for (auto _ : state) {
    draw_filloval(screen().b, 0, 0, int32_t(side - 1), int32_t(side - 1), 7);
    benchmark::ClobberMemory();
  }
  bytes(state, area);
}
void run_lines(benchmark::State &state) {
  int64_t n = 0;
  for (auto _ : state) {
    n = 0;
    for (int32_t i = 0; i < 64; i++) n += draw_line(screen().b, i * 3, 0, W - 1 - i * 5, H - 1, 7);
    benchmark::ClobberMemory();
  }
  bytes(state, n);
}
void run_memset_lines(benchmark::State &state) {
  // The same pixel count as the lines, as one run of memset.
  int64_t n = 0;
  for (int32_t i = 0; i < 64; i++) n += std::max(std::abs(W - 1 - i * 8), H - 1) + 1;
  for (auto _ : state) {
    std::memset(udata_elements(screen().b), 7, size_t(n));
    benchmark::ClobberMemory();
  }
  bytes(state, n);
}

// ---- sprites and copies ----
void run_memcpy(benchmark::State &state) {
  int64_t side = state.range(0);
  bitmap_block src{uint32_t(side), uint32_t(side)};
  for (auto _ : state) {
    for (int64_t y = 0; y < side; y++)
      std::memcpy(udata_elements(screen().b) + y * W, udata_elements(src.b) + y * side,
                  size_t(side));
    benchmark::ClobberMemory();
  }
  bytes(state, side * side);
}
void run_spr(benchmark::State &state) {
  int64_t side = state.range(0);
  bitmap_block src{uint32_t(side), uint32_t(side)};
  for (auto _ : state) {
    draw_spr(src.b, screen().b, 0, 0, 5, 3, int32_t(side), int32_t(side), false, false);
    benchmark::ClobberMemory();
  }
  bytes(state, side * side);
}
void run_sdl_sprite(benchmark::State &state) {
  int64_t side = state.range(0);
  bitmap_block src{uint32_t(side), uint32_t(side)};
  SDL_Surface *s = SDL_CreateRGBSurfaceWithFormatFrom(udata_elements(src.b), int(side), int(side),
                                                      8, int(side), SDL_PIXELFORMAT_INDEX8);
  SDL_Surface *d = SDL_CreateRGBSurfaceWithFormatFrom(udata_elements(screen().b), W, H, 8, W,
                                                      SDL_PIXELFORMAT_INDEX8);
  SDL_SetColorKey(s, SDL_TRUE, 0);  // colour 0 transparent, as a sprite's
  SDL_Rect to{5, 3, int(side), int(side)};
  for (auto _ : state) {
    SDL_Rect r = to;
    SDL_BlitSurface(s, nullptr, d, &r);
    benchmark::ClobberMemory();
  }
  SDL_FreeSurface(s);
  SDL_FreeSurface(d);
  bytes(state, side * side);
}
void run_masked_window(benchmark::State &state) {
  for (auto _ : state) {
    blit_from_ram(wm, int32_t(RAM_VIDEO), screen().b, 0, 0, 0, 0, W, H, 0x3F);
    benchmark::ClobberMemory();
  }
  bytes(state, int64_t(W) * H);
}
void run_frame_memcpy(benchmark::State &state) {
  static bitmap_block src(W, H);
  for (auto _ : state) {
    std::memcpy(udata_elements(screen().b), udata_elements(src.b), size_t(W) * H);
    benchmark::ClobberMemory();
  }
  bytes(state, int64_t(W) * H);
}

// ---- frame composition ----
void run_compose(benchmark::State &state) {
  for (auto _ : state) {
    const uint32_t *f = generate_video_out(nullptr, nullptr);
    benchmark::DoNotOptimize(f);
  }
  bytes(state, int64_t(W) * H);
}
void run_sdl_convert(benchmark::State &state) {
  static bitmap_block src(W, H);
  SDL_Surface *s =
      SDL_CreateRGBSurfaceWithFormatFrom(udata_elements(src.b), W, H, 8, W, SDL_PIXELFORMAT_INDEX8);
  SDL_Color colours[256];
  for (int i = 0; i < 256; i++) {
    uint32_t c = default_system_pal[i];
    colours[i] = {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255};
  }
  SDL_SetPaletteColors(s->format->palette, colours, 0, 256);
  SDL_Surface *d = SDL_CreateRGBSurfaceWithFormat(0, W, H, 32, SDL_PIXELFORMAT_ARGB8888);
  for (auto _ : state) {
    SDL_BlitSurface(s, nullptr, d, nullptr);
    benchmark::ClobberMemory();
  }
  SDL_FreeSurface(s);
  SDL_FreeSurface(d);
  bytes(state, int64_t(W) * H);
}

BENCHMARK(run_memset)->Name("baseline/memset")->Arg(64);
BENCHMARK(run_memset)->Name("baseline/memset")->Arg(270);
BENCHMARK(run_rectfill)->Name("rectfill")->Arg(64);
BENCHMARK(run_rectfill)->Name("rectfill")->Arg(270);
BENCHMARK(run_circfill)->Name("circfill")->Arg(64);
BENCHMARK(run_circfill)->Name("circfill")->Arg(270);
BENCHMARK(run_memset_lines)->Name("baseline/memset_lines");
BENCHMARK(run_lines)->Name("line");
BENCHMARK(run_memcpy)->Name("baseline/memcpy")->Arg(16);
BENCHMARK(run_memcpy)->Name("baseline/memcpy")->Arg(64);
BENCHMARK(run_sdl_sprite)->Name("baseline/sdl_blit")->Arg(16);
BENCHMARK(run_sdl_sprite)->Name("baseline/sdl_blit")->Arg(64);
BENCHMARK(run_spr)->Name("spr")->Arg(16);
BENCHMARK(run_spr)->Name("spr")->Arg(64);
BENCHMARK(run_frame_memcpy)->Name("baseline/memcpy_frame");
BENCHMARK(run_masked_window)->Name("masked_window");
BENCHMARK(run_sdl_convert)->Name("baseline/sdl_palette_convert");
BENCHMARK(run_compose)->Name("compose_frame");

}  // namespace

int main(int argc, char **argv) {
  setup_processes();
  bench_initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  struct row {
    const char *ours, *base;
    bench_goal kind;
    double goal;
  };
  const row rows[] = {
      {"rectfill/64", "baseline/memset/64", bench_goal::none, 0},
      {"rectfill/270", "baseline/memset/270", bench_goal::none, 0},
      {"circfill/64", "baseline/memset/64", bench_goal::at_least, 0.35},
      {"circfill/270", "baseline/memset/270", bench_goal::at_least, 0.35},
      {"line", "baseline/memset_lines", bench_goal::none, 0},
      {"spr/16", "baseline/memcpy/16", bench_goal::none, 0},
      {"spr/16", "baseline/sdl_blit/16", bench_goal::none, 0},
      {"spr/64", "baseline/memcpy/64", bench_goal::none, 0},
      {"spr/64", "baseline/sdl_blit/64", bench_goal::none, 0},
      {"masked_window", "baseline/memcpy_frame", bench_goal::none, 0},
      {"compose_frame", "baseline/sdl_palette_convert", bench_goal::none, 0},
  };
  bench_print_goal_header("graphics (throughput ratio)");
  for (const row &w : rows) {
    double r = reporter.rate[w.ours], b = reporter.rate[w.base];
    bench_print_goal(w.ours, b > 0 ? r / b : 0.0, w.kind, w.goal, w.base);
  }
  benchmark::Shutdown();
  processes_init();
  return bench_exit_code();
}
