// Throughput of the rasteriser, sprites, the masked window copy and the frame
// composition, each beside a baseline on the same bytes in the same run:
// memset for fills and lines, memcpy for sprites and copies, SDL's software
// blitter for sprites and SDL's 8-bit to ARGB conversion for the frame.
// Prints the ratio (ours / baseline throughput) at the end.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <SDL.h>
#include <benchmark/benchmark.h>

#include "base/config.h"
#include "machine/app.h"
#include "machine/memory.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/blit.h"
#include "gfx/font.h"
#include "gfx/pixel.h"
#include "gfx/print.h"
#include "gfx/shapes.h"
#include "gfx/tline.h"
#include "gfx/video.h"
#include "kernel/process_life.h"
#include "tools/bench/bench_ratio.h"

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

// ---- plain loops beside lines, outlines, textured lines and text ----
// The lines of run_lines by a naive Bresenham walk into the same bytes.
void run_bresenham(benchmark::State &state) {
  int64_t n = 0;
  uint8_t *px = udata_elements(screen().b);
  for (auto _ : state) {
    n = 0;
    for (int32_t i = 0; i < 64; i++) {
      int32_t x0 = i * 3, y0 = 0, x1 = W - 1 - i * 5, y1 = H - 1;
      int32_t dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1, dy = -std::abs(y1 - y0), sy = 1;
      int32_t err = dx + dy;
      for (;;) {
        px[y0 * W + x0] = 7;
        n++;
        if (x0 == x1 && y0 == y1) break;
        int32_t e2 = 2 * err;
        if (e2 >= dy) err += dy, x0 += sx;
        if (e2 <= dx) err += dx, y0 += sy;
      }
    }
    benchmark::ClobberMemory();
  }
  bytes(state, n);
}
// Pixels an outline of side x side at the corner sets on a cleared bitmap.
int64_t oval_pixels(int64_t side) {
  bitmap_block probe(W, H);
  std::memset(udata_elements(probe.b), 0, W * H);
  draw_oval(probe.b, 0, 0, int32_t(side - 1), int32_t(side - 1), 7);
  int64_t n = 0;
  for (int32_t i = 0; i < W * H; i++) n += udata_elements(probe.b)[i] != 0;
  return n;
}
void run_circ(benchmark::State &state) {
  int64_t side = state.range(0);
  for (auto _ : state) {
    draw_oval(screen().b, 0, 0, int32_t(side - 1), int32_t(side - 1), 7);
    benchmark::ClobberMemory();
  }
  bytes(state, oval_pixels(side));
}
// The midpoint circle of the same radius, eight points a step.
void run_midpoint_circle(benchmark::State &state) {
  int32_t r = int32_t(state.range(0) / 2), c = r;
  uint8_t *px = udata_elements(screen().b);
  int64_t n = 0;
  for (auto _ : state) {
    n = 0;
    int32_t x = r, y = 0, err = 1 - r;
    while (x >= y) {
      const int32_t pts[8][2] = {{c + x, c + y}, {c + y, c + x}, {c - y, c + x}, {c - x, c + y},
                                 {c - x, c - y}, {c - y, c - x}, {c + y, c - x}, {c + x, c - y}};
      for (const auto &q : pts) px[q[1] * W + q[0]] = 7;
      n += 8;
      y++;
      if (err < 0) {
        err += 2 * y + 1;
      } else {
        x--;
        err += 2 * (y - x) + 1;
      }
    }
    benchmark::ClobberMemory();
  }
  bytes(state, n);
}
// 64 rows across the screen, textured from a 64 x 64 bitmap.
bitmap_block &texture() {
  static bitmap_block t(64, 64);
  return t;
}
void run_tline(benchmark::State &state) {
  for (auto _ : state) {
    for (int32_t i = 0; i < 64; i++)
      draw_tline3d(texture().b, screen().b, 0, i * 4, W - 1, i * 4, 0, i, W, i + 8, 1, 1, 0);
    benchmark::ClobberMemory();
  }
  bytes(state, 64 * W);
}
// The same rows by 16.16 texture steps, no masks, tables or perspective.
void run_plain_tline(benchmark::State &state) {
  const uint8_t *tex = udata_elements(texture().b);
  uint8_t *px = udata_elements(screen().b);
  for (auto _ : state) {
    for (int32_t i = 0; i < 64; i++) {
      int64_t u = 0, v = int64_t(i) << 16, du = (int64_t(W) << 16) / (W - 1),
              dv = (8 << 16) / (W - 1);
      uint8_t *row = px + i * 4 * W;
      for (int32_t x = 0; x < W; x++, u += du, v += dv)
        row[x] = tex[((v >> 16) & 63) * 64 + ((u >> 16) & 63)];
    }
    benchmark::ClobberMemory();
  }
  bytes(state, 64 * W);
}
// 100 characters of text: print against 100 plain 8 x 8 glyphs.
const char text100[] =
    "The quick brown fox jumps over the lazy dog; 0123456789 THE QUICK BROWN FOX JUMPS OVER THE "
    "LAZY DOG!";
static_assert(sizeof text100 - 1 == 100);
void run_print(benchmark::State &state) {
  for (uint32_t i = 0; i < GFX_FONT_BYTES; i++) poke(int32_t(RAM_BOOT_FONT + i), lil_font_dat[i]);
  poke(int32_t(RAM_FONT_DEFAULT), int32_t(RAM_BOOT_FONT >> 8));
  for (auto _ : state) {
    poke4(int32_t(RAM_TEXT_CURSOR_X), 0);
    poke4(int32_t(RAM_TEXT_CURSOR_Y), 0);
    get_masks_shape();
    print_q7scii(screen().b, reinterpret_cast<const uint8_t *>(text100), 100, 0x10, 7);
    benchmark::ClobberMemory();
  }
  bytes(state, 100);
}
void run_glyph_loop(benchmark::State &state) {
  uint8_t *px = udata_elements(screen().b);
  for (auto _ : state) {
    for (int32_t i = 0; i < 100; i++) {
      const uint8_t *g = lil_font_dat + 8 * uint8_t(text100[i]);
      uint8_t *at = px + (i / 60) * 8 * W + (i % 60) * 8;
      for (int32_t r = 0; r < 8; r++)
        for (int32_t b = 0; b < 8; b++)
          if ((g[r] >> b) & 1) at[r * W + b] = 7;
    }
    benchmark::ClobberMemory();
  }
  bytes(state, 100);
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
BENCHMARK(run_bresenham)->Name("baseline/bresenham");
BENCHMARK(run_circ)->Name("circ")->Arg(64);
BENCHMARK(run_circ)->Name("circ")->Arg(270);
BENCHMARK(run_midpoint_circle)->Name("baseline/midpoint_circle")->Arg(64);
BENCHMARK(run_midpoint_circle)->Name("baseline/midpoint_circle")->Arg(270);
BENCHMARK(run_tline)->Name("tline");
BENCHMARK(run_plain_tline)->Name("baseline/plain_tline");
BENCHMARK(run_print)->Name("print100");
BENCHMARK(run_glyph_loop)->Name("baseline/glyph_loop");
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
    bench_print_goal(w.ours, bench_ratio(reporter.rate[w.ours], reporter.rate[w.base]), w.kind,
                     w.goal, w.base);
  }
  // Time a pixel (a character) against a plain C loop doing the same.
  const row slower[] = {
      {"line", "baseline/bresenham", bench_goal::at_most, 1.5},
      {"circ/64", "baseline/midpoint_circle/64", bench_goal::at_most, 1.5},
      {"circ/270", "baseline/midpoint_circle/270", bench_goal::at_most, 1.5},
      {"tline", "baseline/plain_tline", bench_goal::at_most, 1.5},
      {"print100", "baseline/glyph_loop", bench_goal::at_most, 2},
  };
  bench_print_goal_header("graphics (time against a plain loop)");
  for (const row &w : slower) {
    bench_print_goal(w.ours, bench_ratio(reporter.rate[w.base], reporter.rate[w.ours]), w.kind,
                     w.goal, w.base);
  }
  benchmark::Shutdown();
  processes_init();
  return bench_exit_code();
}
