// The PNG cartridge writer, its label text, and the reader of the ROM it hides.
#include "pdisk/png_cart.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/ram_layout.h"
#include "machine/memory.h"
#include "machine/message.h"
#include "machine/process.h"
#include "userdata/udata.h"
#include "gfx/boot_screen.h"
#include "gfx/font.h"
#include "gfx/print.h"
#include "gfx/video.h"
#include "pod/png_buffer.h"
#include "pod/qoi_buffer.h"
#include "pdisk/pfile.h"
#include "pdisk/rom.h"

proc *label_proc;
udata *label_back;
int32_t generated_info_label;
pbuffer *info_pod_buffer;
int32_t generated_info_pod_buffer;

namespace {

constexpr const char *CARRIER_TEMPLATE = "/system/misc/kvd_cart.png";
constexpr int32_t CARRIER_BYTES = PNG_CART_WIDTH * PNG_CART_HEIGHT * 4;
constexpr int32_t LABEL_WIDTH = SCREEN_WIDTH, LABEL_HEIGHT = SCREEN_HEIGHT;
constexpr int32_t ROM_HEADER_BYTES = 8;  // "kvd", version, u32 compressed size
constexpr int32_t ROM_FLAGS = ROM_SKIP_LABEL | ROM_TAKE_INFO_POD | 16;
constexpr int32_t MAX_VERSION = 199, MAX_AUTHOR = 799;
constexpr uint8_t LABEL_TEXT_COLOUR = 7;
constexpr uint8_t TITLE_UPPER = 0xD0, TITLE_LOWER = 0x80, BYLINE = 0x90;
constexpr uint8_t FRESH_CARRIER[4] = {0x24, 0x26, 0x2C, 0xFF};

// Label printer's draw state.
// From the line-reset flag on: the line end point and the pen are cleared.
constexpr uint32_t DRAW_STATE_CLEARED_BYTES = 9;
constexpr uint8_t LABEL_FONT_DEFAULT = 0x40, LABEL_FONT_ALTERNATE = 0x56;
constexpr uint8_t LABEL_MASK = 0x3F;

// Low bits of carrier byte i that carry ROM bits: 3 in R, G and B, 2 in A.
int carrier_bits(int32_t i) { return (i & 3) == 3 ? 2 : 3; }

// Moves the ROM bits into the carrier's low bits (0 bits once it runs out).
void spread_rom(uint8_t *carrier, const uint8_t *rom, int32_t rom_bytes) {
  int64_t bit = 0, total = int64_t(rom_bytes) * 8;
  for (int32_t i = 0; i < CARRIER_BYTES; i++) {
    int n = carrier_bits(i);
    uint8_t v = 0;
    for (int k = 0; k < n; k++, bit++)
      if (bit < total && (rom[bit >> 3] >> (bit & 7) & 1)) v |= uint8_t(1 << k);
    carrier[i] = uint8_t((carrier[i] & ~((1 << n) - 1)) | v);
  }
}

// The bytes the carrier's low bits hold, as many as fit.
std::vector<uint8_t> gather_rom(const uint8_t *carrier) {
  std::vector<uint8_t> out;
  out.reserve(CARRIER_BYTES * 11 / 32);
  uint32_t acc = 0;
  int held = 0;
  for (int32_t i = 0; i < CARRIER_BYTES; i++) {
    int n = carrier_bits(i);
    acc |= uint32_t(carrier[i] & ((1 << n) - 1)) << held;
    held += n;
    if (held >= 8) {
      out.push_back(uint8_t(acc));
      acc >>= 8;
      held -= 8;
    }
  }
  return out;
}

// The whole of a workstation file, or null.
pbuffer *read_file(const char *path) {
  pfile_entry *f = pfopen(path, "r");
  if (!f) return nullptr;
  pbuffer *b = create_buffer_from_buffer(f->data);
  pfclose(f);
  return b;
}

// Decodes the PNG file at path; an image only of exactly w x h.
uint8_t *decode_png_file(const pbuffer *file, uint32_t w, uint32_t h) {
  if (!file) return nullptr;
  pbuffer *copy = create_buffer_from_buffer(file);
  uint8_t *image = nullptr;
  uint32_t iw = 0, ih = 0;
  unsigned error = LodePNG_decode32_pbuffer(&image, &iw, &ih, copy);
  destroy_buffer(copy);
  if (!error && iw == w && ih == h) return image;
  std::free(image);
  return nullptr;
}

void make_carrier(uint8_t *carrier) {
  pbuffer *file = read_file(CARRIER_TEMPLATE);
  uint8_t *image = decode_png_file(file, PNG_CART_WIDTH, PNG_CART_HEIGHT);
  destroy_buffer(file);
  if (image) {
    std::memcpy(carrier, image, CARRIER_BYTES);
    std::free(image);
    return;
  }
  for (int32_t i = 0; i < CARRIER_BYTES; i++) carrier[i] = FRESH_CARRIER[i & 3];
}

// The folder's label.png (or else label.qoi) decoded at the label's size
// (malloc'd), or null when it is absent (*present false) or of another size.
uint8_t *decode_label(const std::string &base, bool *present) {
  uint8_t *image = nullptr;
  *present = true;
  if (pbuffer *png = read_file((base + "/label.png").c_str())) {
    image = decode_png_file(png, LABEL_WIDTH, LABEL_HEIGHT);
    destroy_buffer(png);
  } else if (pbuffer *qoi = read_file((base + "/label.qoi").c_str())) {
    image = qoi_decode_pbuffer_sized(qoi, LABEL_WIDTH, LABEL_HEIGHT);
    destroy_buffer(qoi);
  } else {
    *present = false;
  }
  return image;
}

void place_label(uint8_t *carrier, const pbuffer *folder) {
  std::string base(reinterpret_cast<const char *>(folder->data), size_t(folder->length));
  bool present;
  uint8_t *image = decode_label(base, &present);
  if (!image) return;
  for (int32_t y = 0; y < LABEL_HEIGHT; y++)
    std::memcpy(carrier + ((PNG_CART_LABEL_Y + y) * PNG_CART_WIDTH + PNG_CART_LABEL_X) * 4,
                image + y * LABEL_WIDTH * 4, LABEL_WIDTH * 4);
  std::free(image);
}

}  // namespace

bool png_cart_label_fits(const char *folder) {
  bool present;
  uint8_t *image = decode_label(folder ? folder : "", &present);
  bool fits = image != nullptr || !present;
  std::free(image);
  return fits;
}

namespace {

void set_pixel(uint8_t *carrier, int32_t x, int32_t y, uint8_t grey) {
  uint8_t *p = carrier + (y * PNG_CART_WIDTH + x) * 4;
  p[0] = p[1] = p[2] = grey;
  p[3] = 0xFF;
}

// The printed title doubled in size with a light upper and a darker lower
// half of each dot; the byline as it is.
void stamp_label_text(uint8_t *carrier) {
  const uint8_t *text = udata_elements(label_back);
  for (int32_t r = 0; r < LABEL_TEXT_HEIGHT; r++)
    for (int32_t c = 0; c < LABEL_TEXT_WIDTH; c++) {
      if (!text[r * LABEL_TEXT_WIDTH + c]) continue;
      if (r < LABEL_TEXT_HEIGHT / 2) {
        int32_t x = LABEL_TITLE_X + 2 * c, y = LABEL_TITLE_Y + 2 * r;
        set_pixel(carrier, x, y, TITLE_UPPER), set_pixel(carrier, x + 1, y, TITLE_UPPER);
        set_pixel(carrier, x, y + 1, TITLE_LOWER), set_pixel(carrier, x + 1, y + 1, TITLE_LOWER);
      } else {
        set_pixel(carrier, LABEL_BYLINE_X + c, LABEL_BYLINE_Y + r - LABEL_TEXT_HEIGHT / 2, BYLINE);
      }
    }
}

// The value after key up to the next double quote not after a backslash.
std::string info_value(const char *text, int32_t length, const char *key) {
  std::string_view all(text, size_t(length));
  size_t at = all.find(key);
  if (at == std::string_view::npos) return "";
  size_t start = at + std::strlen(key), end = start;
  while (end < all.size() && !(all[end] == '"' && all[end - 1] != '\\')) end++;
  return std::string(all.substr(start, end - start));
}

void print_line(const std::string &s, int32_t y) {
  poke4(RAM_TEXT_CURSOR_X, 0);
  poke4(RAM_TEXT_CURSOR_Y, uint32_t(y));
  kvd_memset(int32_t(RAM_TEXT_HOME_X), 0, 8);  // the print home
  print_q7scii(label_back, reinterpret_cast<const uint8_t *>(s.data()), int64_t(s.size()), 0,
               LABEL_TEXT_COLOUR);
}

}  // namespace

void init_label_proc() {
  if (label_proc) return;
  size_t bytes = sizeof(udata) + LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT;
  label_back = static_cast<udata *>(std::calloc(1, bytes));
  *label_back = udata{UTYPE_U8, 2, {}, LABEL_TEXT_WIDTH, LABEL_TEXT_HEIGHT, 0};
  label_proc = static_cast<proc *>(std::calloc(1, sizeof(proc)));
  proc *saved = cproc;
  cproc = label_proc;
  proc_memory_init(label_proc);
  label_proc->draw_target = label_back;
  label_proc->target_clip = {0, LABEL_TEXT_WIDTH, 0, LABEL_TEXT_HEIGHT};
  for (int32_t i = 0; i < GFX_COLOURS; i++) poke(int32_t(RAM_DISPLAY_PALETTE) + i, i);
  for (int32_t row = 0; row < GFX_COLTAB_BYTES / GFX_COLOURS; row++)
    kvd_memset(int32_t(RAM_COLOUR_TABLES) + row * GFX_COLOURS, row, GFX_COLOURS);
  kvd_memset(int32_t(RAM_READ_MASK), LABEL_MASK, 4);
  kvd_memset(int32_t(RAM_LINE_RESET), 0, DRAW_STATE_CLEARED_BYTES);
  poke(int32_t(RAM_FONT_DEFAULT), LABEL_FONT_DEFAULT);
  poke(int32_t(RAM_FONT_ALTERNATE), LABEL_FONT_ALTERNATE);
  for (int32_t i = 0; i < int32_t(sizeof lil_font_dat); i++)
    poke(int32_t(RAM_BOOT_FONT) + i, lil_font_dat[i]);
  // Grey ramp: only whether a pixel is drawn reaches the picture.
  for (uint32_t i = 0; i < uint32_t(GFX_COLOURS); i++) poke4(RAM_RGB_PALETTE + 4 * i, i * 0x040404);
  cproc = saved;
}

void label_text_lines(const char *text, int32_t length, std::string *title, std::string *byline) {
  *title = info_value(text, length, ",title=\"");
  std::string version = info_value(text, length, ",version=\"");
  std::string author = info_value(text, length, ",author=\"");
  bool has_author = !author.empty() && author.size() <= MAX_AUTHOR;
  byline->clear();
  if (version.empty() && has_author)
    *byline = "by " + author;
  else if (!version.empty() && version.size() <= MAX_VERSION)
    *byline = version + (has_author ? " by " + author : "");
}

void extract_label_text(const pbuffer *info) {
  init_label_proc();
  std::memset(udata_elements(label_back), 0, LABEL_TEXT_WIDTH * LABEL_TEXT_HEIGHT);
  proc *saved = cproc;
  cproc = label_proc;
  poke2(int32_t(RAM_CLIP_RECT), 0);
  poke2(int32_t(RAM_CLIP_RECT) + 2, 0);
  poke2(int32_t(RAM_CLIP_RECT) + 4, LABEL_TEXT_WIDTH);
  poke2(int32_t(RAM_CLIP_RECT) + 6, LABEL_TEXT_HEIGHT);
  label_proc->target_clip = {0, LABEL_TEXT_WIDTH, 0, LABEL_TEXT_HEIGHT};
  std::string title, byline;
  if (info)
    label_text_lines(reinterpret_cast<const char *>(info->data), info->length, &title, &byline);
  if (!title.empty()) print_line(title, 2);
  print_line(byline, 12);
  cproc = saved;
  generated_info_label = 1;
}

void rom_keep_info_pod(const pbuffer *data) {
  destroy_buffer(info_pod_buffer);
  info_pod_buffer = data ? create_buffer_from_buffer(data) : create_buffer_2(0, 'd');
  generated_info_pod_buffer = 1;
  extract_label_text(info_pod_buffer);
}

int write_kvd_png_from_ram_files(pbuffer *out, const pbuffer *folder, int quiet) {
  if (!out || !folder) return -1;
  generated_info_label = 0;
  generated_info_pod_buffer = 0;
  pbuffer_owner rom(create_buffer_2(4096, 'd'));
  if (write_kvd_rom_from_ram_files(rom.get(), folder, ROM_FLAGS) != 0) return -1;
  if (rom->length >= PNG_CART_MAX_ROM) {
    if (!quiet) notify("failed to store cartridge rom as png (too large)");
    return -1;
  }
  std::vector<uint8_t> carrier(CARRIER_BYTES);
  make_carrier(carrier.data());
  place_label(carrier.data(), folder);
  if (generated_info_label) stamp_label_text(carrier.data());
  spread_rom(carrier.data(), rom->data, rom->length);
  return LodePNG_encode32_pbuffer(carrier.data(), PNG_CART_WIDTH, PNG_CART_HEIGHT, out) == 0 ? 0
                                                                                             : -1;
}

pbuffer *read_kvd_rom_from_png(pbuffer *png) {
  uint8_t *image = decode_png_file(png, PNG_CART_WIDTH, PNG_CART_HEIGHT);
  if (!image) return nullptr;
  std::vector<uint8_t> bytes = gather_rom(image);
  std::free(image);
  if (std::memcmp(bytes.data(), "kvd", 3) != 0) return nullptr;
  uint32_t packed = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 | uint32_t(bytes[6]) << 16 |
                    uint32_t(bytes[7]) << 24;
  if (packed > bytes.size() - ROM_HEADER_BYTES) return nullptr;
  pbuffer *rom = create_buffer_2(int64_t(packed) + ROM_HEADER_BYTES, 'd');
  bwrite(bytes.data(), 1, packed + ROM_HEADER_BYTES, rom);
  rom->cursor = 0;
  return rom;
}

pbuffer *read_kvd_png_label(pbuffer *png) {
  uint8_t *image = decode_png_file(png, PNG_CART_WIDTH, PNG_CART_HEIGHT);
  if (!image) return nullptr;
  std::vector<uint8_t> carrier(CARRIER_BYTES), label(LABEL_WIDTH * LABEL_HEIGHT * 4);
  make_carrier(carrier.data());
  bool placed = false;
  for (int32_t y = 0; y < LABEL_HEIGHT; y++)
    for (int32_t i = 0; i < LABEL_WIDTH * 4; i++) {
      int32_t at = (PNG_CART_LABEL_Y + y) * PNG_CART_WIDTH * 4 + PNG_CART_LABEL_X * 4 + i;
      int n = carrier_bits(at);
      uint8_t top = uint8_t(image[at] >> n << n);
      placed = placed || top != uint8_t(carrier[at] >> n << n);
      // the top bits repeated into the low ones: 0xF8 becomes 0xFF again
      label[size_t(y * LABEL_WIDTH * 4 + i)] = uint8_t(top | top >> (8 - n));
    }
  std::free(image);
  if (!placed) return nullptr;
  pbuffer *qoi = create_buffer_2(0, 'q');
  if (qoi_encode_pbuffer(label.data(), LABEL_WIDTH, LABEL_HEIGHT, 1, qoi) != 0) {
    destroy_buffer(qoi);
    return nullptr;
  }
  return qoi;
}

void png_cart_reset() {
  destroy_buffer(info_pod_buffer);
  info_pod_buffer = nullptr;
  generated_info_pod_buffer = 0;
  generated_info_label = 0;
}
