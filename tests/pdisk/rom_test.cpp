// The .kvd.rom reader and writer: round trips, the length encoding, legacy
// forms, and refusal of corrupt, truncated and oversized cartridges.
#include "pdisk/rom.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <lz4.h>
#include <lz4hc.h>

#include "pdisk/fileops.h"
#include "pdisk/pfile.h"
#include "pdisk_fixture.h"

class Rom : public PdiskTest {
 protected:
  // The ROM bytes of a RAM folder (empty when the writer refuses).
  std::string pack(const char *folder, int flags = 0) {
    pbuffer *out = create_buffer_2(0, 'd');
    pbuffer *f = create_buffer_from_str(folder);
    std::string s = write_kvd_rom_from_ram_files(out, f, flags) == 0 ? buffer_text(out) : "";
    destroy_buffer(f);
    destroy_buffer(out);
    return s;
  }
  int status = 0;  // the reader's result in the last unpack
  // Unpacks bytes into dest; returns what the reader printed.
  std::string unpack(const char *dest, const std::string &bytes, int *cursor = nullptr) {
    pbuffer *b = create_buffer_2((int)bytes.size(), 'i');
    bwrite(bytes.data(), 1, bytes.size(), b);
    b->cursor = 0;
    testing::internal::CaptureStdout();
    status = populate_ram_folder_from_kvd_rom_buffer(dest, b);
    std::string out = testing::internal::GetCapturedStdout();
    if (cursor) *cursor = b->cursor;
    destroy_buffer(b);
    return out;
  }
  // A ROM around a payload written here.
  static std::string rom_of(const std::string &payload, int version = 2) {
    std::string block(LZ4_compressBound((int)payload.size()), '\0');
    int n =
        LZ4_compress_HC(payload.data(), block.data(), (int)payload.size(), (int)block.size(), 9);
    block.resize(n);
    std::string rom = "kvd";
    rom += char(version);
    for (int i = 0; i < 4; i++) rom += char((n >> (8 * i)) & 255);
    return rom + block;
  }
  static std::string payload_of(const std::string &rom) {
    std::string p(ROM_MAX_PAYLOAD, '\0');
    int n = LZ4_decompress_safe(rom.data() + 8, p.data(), (int)rom.size() - 8, ROM_MAX_PAYLOAD);
    return n < 0 ? "<bad>" : p.substr(0, n);
  }
  static std::string entry(const std::string &name, const std::string &bytes) {
    return name + '\0' + char(bytes.size()) + bytes;
  }
};

TEST_F(Rom, RoundTripOfNestedBinaryAndEmptyFiles) {
  std::string binary;
  for (int i = 0; i < 70000; i++) binary += char(i * 7 + (i >> 8));
  ASSERT_EQ(pmkdir("/ram/c"), 0);
  ASSERT_EQ(pmkdir("/ram/c/gfx"), 0);
  ASSERT_EQ(pmkdir("/ram/c/gfx/deep"), 0);
  ASSERT_EQ(pmkdir("/ram/c/emptydir"), 0);
  ASSERT_TRUE(put("/ram/c/main.lua", "print(1)"));
  ASSERT_TRUE(put("/ram/c/empty", ""));
  ASSERT_TRUE(put("/ram/c/gfx/deep/blob.bin", binary));
  ASSERT_TRUE(put("/ram/cc", "not inside /ram/c"));
  std::string rom = pack("/ram/c");
  ASSERT_EQ(rom.substr(0, 4), std::string("kvd\2", 4));

  EXPECT_EQ(unpack("/ram/d", rom), "");
  EXPECT_EQ(get("/ram/d/main.lua"), "print(1)");
  EXPECT_EQ(get("/ram/d/empty"), "");
  EXPECT_EQ(get("/ram/d/gfx/deep/blob.bin"), binary);
  EXPECT_TRUE(pdisk_directory_exists("/ram/d/emptydir", false));
  EXPECT_TRUE(pdisk_directory_exists("/ram/d/gfx/deep", false));
  EXPECT_EQ(get("/ram/d/cc"), "<none>");
  EXPECT_EQ(pack("/ram/d"), rom);
}

TEST_F(Rom, LengthBytes254And255) {
  ASSERT_TRUE(put("/ram/c/a", std::string(254, 'a')));
  ASSERT_TRUE(put("/ram/c/b", std::string(255, 'b')));
  std::string p = payload_of(pack("/ram/c"));
  EXPECT_EQ(p, std::string("a\0\xfe", 3) + std::string(254, 'a') +
                   std::string("b\0\xff\xff\0\0\0", 7) + std::string(255, 'b'));
}

TEST_F(Rom, EmptyFolderGivesAHeaderAndReadsAsFailure) {
  ASSERT_EQ(pmkdir("/ram/e"), 0);
  std::string rom = pack("/ram/e");
  ASSERT_GT(rom.size(), 8u);
  EXPECT_EQ(payload_of(rom), "");
  int before = num_pfiles;
  EXPECT_EQ(unpack("/ram/x", rom), "  *** kvd.rom decompression failed: /ram/x\n");
  EXPECT_EQ(num_pfiles, before);
}

TEST_F(Rom, ResultSaysWhetherEverythingWasRead) {
  const std::pair<std::string, int> cases[] = {
      {rom_of(entry("a", "1") + "d/" + '\0' + entry("d/b", "2")), 0},
      {"", 0},                          // an empty file: a new cartridge
      {rom_of(""), 0},                  // what an emptied cartridge is written as
      {"print(1)", 0},                  // a plain program
      {"kv", -1},                       // a stub
      {std::string("pr\0int", 6), -1},  // bytes past a NUL would be lost
      {rom_of(entry("a", "1") + entry("b/../c", "2") + entry("d", "3")), -1},
      {rom_of(entry("a", "1") + "b" + '\0' + char(9) + "cut"), -1},
      {rom_of(entry("a", "1")).substr(0, 10), -1},
      {rom_of(entry("a", "1") + "no-nul"), -1},
  };
  int n = 0;
  for (auto &[bytes, want] : cases) {
    std::string dest = "/ram/r" + std::to_string(n++);
    unpack(dest.c_str(), bytes);
    EXPECT_EQ(status, want) << n;
  }
}

TEST_F(Rom, VersionIsNotChecked) {
  EXPECT_EQ(unpack("/ram/v", rom_of(entry("main.lua", "v7"), 7)), "");
  EXPECT_EQ(get("/ram/v/main.lua"), "v7");
}

TEST_F(Rom, DotDotStopsTheUnpacking) {
  // "a..b" and "..." are plain names; only a segment ".." stops the reader.
  std::string p = entry("ok.txt", "fine") + entry("notes..txt", "n") + entry("d/.../x", "3") +
                  entry("a/../../evil", "x") + entry("later", "y");
  EXPECT_EQ(unpack("/ram/v", rom_of(p)),
            "** bad file description while mounting .kvd.rom: /ram/v\n");
  EXPECT_EQ(get("/ram/v/ok.txt"), "fine");
  EXPECT_EQ(get("/ram/v/notes..txt"), "n");
  EXPECT_EQ(get("/ram/v/d/.../x"), "3");
  EXPECT_EQ(unpack("/ram/w", rom_of(entry("..", "x") + entry("later", "y"))),
            "** bad file description while mounting .kvd.rom: /ram/w\n");
  EXPECT_EQ(get("/ram/evil"), "<none>");
  EXPECT_EQ(get("/ram/v/later"), "<none>");
}

TEST_F(Rom, BadNamesStopTheUnpacking) {
  std::string no_nul = entry("ok", "1") + "dangling-name";
  EXPECT_EQ(unpack("/ram/v", rom_of(no_nul)), "  *** kvd.rom filename parsing failed\n");
  EXPECT_EQ(get("/ram/v/ok"), "1");
  std::string empty_name = std::string("\0", 1) + "\1x";
  EXPECT_EQ(unpack("/ram/w", rom_of(empty_name)), "  *** kvd.rom filename parsing failed\n");
  std::string long_name = entry(std::string(401, 'n'), "1");
  EXPECT_EQ(unpack("/ram/w", rom_of(long_name)), "  *** kvd.rom filename parsing failed\n");
}

TEST_F(Rom, CorruptTruncatedAndLyingRomsAreRefused) {
  ASSERT_TRUE(put("/ram/c/main.lua", std::string(3000, 'm') + "end"));
  std::string rom = pack("/ram/c");
  int cursor = 0;

  // truncated: the declared block is longer than what is there
  std::string cut = rom.substr(0, rom.size() - 5);
  EXPECT_EQ(unpack("/ram/t", cut, &cursor), "  *** kvd.rom decompression failed: /ram/t\n");
  EXPECT_EQ(cursor, (int)cut.size());
  // a size field larger than the file
  std::string lying = rom;
  lying[7] = '\x7f';
  EXPECT_EQ(unpack("/ram/t", lying), "  *** kvd.rom decompression failed: /ram/t\n");
  // header only
  EXPECT_EQ(unpack("/ram/t", rom.substr(0, 6)), "  *** kvd.rom decompression failed: /ram/t\n");
  // corrupt block bytes
  std::string corrupt = rom;
  for (size_t i = 8; i < corrupt.size(); i += 3) corrupt[i] = char(corrupt[i] ^ 0x5a);
  unpack("/ram/t", corrupt);
  EXPECT_EQ(get("/ram/t/main.lua"), "<none>");

  // an entry declaring more bytes than the payload holds keeps what is there
  std::string p = entry("first", "1") + "second" + '\0' + char(200) + "short";
  EXPECT_EQ(unpack("/ram/u", rom_of(p)),
            "** bad file length 5 (200) while mounting .kvd.rom: /ram/u\n");
  EXPECT_EQ(get("/ram/u/first"), "1");
  EXPECT_EQ(get("/ram/u/second"), "short");
  std::string big = std::string("x\0\xff\xff\xff\xff\xff", 7) + "abc";
  EXPECT_EQ(unpack("/ram/u", rom_of(big)),
            "** bad file length 3 (4294967295) while mounting .kvd.rom: /ram/u\n");
  EXPECT_EQ(get("/ram/u/x"), "<none>");
  EXPECT_EQ(unpack("/ram/u", rom_of(std::string("y\0\xff\1", 4))),
            "** bad file length 1 (-1) while mounting .kvd.rom: /ram/u\n");
}

TEST_F(Rom, ShortAndPlainBuffers) {
  int before = num_pfiles, cursor = 0;
  pbuffer *b = create_buffer_from_str("kvd junk");
  populate_ram_folder_from_kvd_rom_buffer(nullptr, b);  // no destination: nothing
  populate_ram_folder_from_kvd_rom_buffer("/ram/s", nullptr);
  EXPECT_EQ(write_kvd_rom_from_ram_files(nullptr, b, 0), -1);
  EXPECT_EQ(write_kvd_rom_from_ram_files(b, nullptr, 0), -1);
  EXPECT_EQ(buffer_text(b), "kvd junk");
  destroy_buffer(b);
  EXPECT_EQ(num_pfiles, before);
  EXPECT_EQ(unpack("/ram/s", "ab", &cursor), "");
  EXPECT_EQ(num_pfiles, before);
  EXPECT_EQ(cursor, 2);
  unpack("/ram/s", "abc");
  EXPECT_EQ(get("/ram/s/main.lua"), "abc");
  unpack("/ram/p", std::string("print(2)\0trailing", 17));
  EXPECT_EQ(get("/ram/p/main.lua"), "print(2)");
}

TEST_F(Rom, LegacyPxaForm) {
  // header: decompressed length 2, then a raw run of "hi": bit 0
  // (reference), bits 1 0 (10-bit offset), a zero field, then the bytes
  std::vector<int> bits = {0, 1, 0};
  bits.insert(bits.end(), 10, 0);
  for (int c : {int('h'), int('i'), 0})
    for (int i = 0; i < 8; i++) bits.push_back((c >> i) & 1);
  std::string stream((bits.size() + 7) / 8, '\0');
  for (size_t i = 0; i < bits.size(); i++)
    stream[i / 8] = char(stream[i / 8] | (bits[i] << (i % 8)));
  int total = 8 + (int)stream.size();
  std::string rom = std::string("\0pxa\0\2", 6) + char(total >> 8) + char(total & 255) + stream;
  int cursor = 0;
  unpack("/ram/q", rom, &cursor);
  EXPECT_EQ(get("/ram/q/main.lua"), "hi");
  EXPECT_EQ(cursor, (int)rom.size());
}

TEST_F(Rom, WriterFlagsLeaveLabelsOut) {
  for (const char *n :
       {"/ram/c/label.png", "/ram/c/label.qoi", "/ram/c/main.lua", "/ram/c/.info.pod"})
    ASSERT_TRUE(put(n, "x"));
  std::string all = payload_of(pack("/ram/c", 0)), no_labels = payload_of(pack("/ram/c", 28));
  EXPECT_NE(all.find("label.png"), std::string::npos);
  EXPECT_EQ(no_labels, entry(".info.pod", "x") + entry("main.lua", "x"));
}

TEST_F(Rom, WriterRefusesWhatTheReaderWouldReject) {
  pbuffer *out = create_buffer_2(0, 'd');
  bwrite("keep", 1, 4, out);
  pbuffer *folder = create_buffer_from_str("/ram/c");
  auto refused = [&] {
    int r = write_kvd_rom_from_ram_files(out, folder, 0);
    return r == -1 && buffer_text(out) == "keep" && out->cursor == 4;
  };

  // a name of 401 characters (folders make it longer than one segment)
  std::string path = "/ram/c";
  for (int i = 0; i < 3; i++) path += "/" + std::string(99, char('a' + i));
  ASSERT_TRUE(put((path + "/" + std::string(101, 'n')).c_str(), "1"));
  EXPECT_TRUE(refused());
  delete_path("/ram/c");
  ASSERT_TRUE(put((path + "/" + std::string(100, 'n')).c_str(), "1"));  // exactly 400
  EXPECT_FALSE(refused());
  delete_path("/ram/c");
  out->length = out->cursor = 4;

  // "a..b" is a plain name: written, and read back by the reader.
  ASSERT_TRUE(put("/ram/c/a..b", "1"));
  EXPECT_FALSE(refused());
  EXPECT_EQ(payload_of(buffer_text(out).substr(4)), entry("a..b", "1"));
  delete_path("/ram/c");
  out->length = out->cursor = 4;

  char name[32];
  for (int i = 0; i <= ROM_MAX_ENTRIES; i++) {
    snprintf(name, sizeof name, "/ram/c/%05d", i);
    ASSERT_TRUE(put(name, ""));
  }
  EXPECT_TRUE(refused());
  delete_path("/ram/c");

  ASSERT_TRUE(put("/ram/c/huge", std::string(ROM_MAX_PAYLOAD, 'h')));
  EXPECT_TRUE(refused());
  destroy_buffer(folder);
  destroy_buffer(out);
}

TEST_F(Rom, OverlongDestinationPathsAreSkipped) {
  std::string dest = "/ram";
  for (int i = 0; i < 4; i++) dest += "/" + std::string(200, char('a' + i));
  std::string p = entry(std::string(300, 'z'), "1") + entry("ok", "2");
  unpack(dest.c_str(), rom_of(p));
  EXPECT_EQ(get((dest + "/ok").c_str()), "2");
  EXPECT_EQ(pdisk_count_slots_by_kind(PFILE_RAM), 1);
}
