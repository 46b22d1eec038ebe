// The text cartridge: what the writer produces, what the readers make of it,
// and that every stored file reads back byte for byte.
#include "pdisk/kvd_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pdisk/cart_mount.h"
#include "pdisk/fileops.h"
#include "pdisk/pfile.h"
#include "pdisk_fixture.h"

namespace {

class KvdText : public PdiskTest {
 protected:
  void SetUp() override {
    PdiskTest::SetUp();
    ASSERT_EQ(pmkdir("/ram/src"), 0);
    ASSERT_EQ(pmkdir("/ram/dst"), 0);
  }
  std::string pack(const char *folder = "/ram/src", int hex = 0) {
    pbuffer *out = create_buffer_2(0, 'p');
    pbuffer *f = create_buffer_from_str(folder);
    write_kvd_from_ram_files(out, f, hex);
    std::string s = buffer_text(out);
    destroy_buffer(out);
    destroy_buffer(f);
    return s;
  }
  // The reader's result: 0 when everything was read.
  int unpack(const std::string &text, const char *dest = "/ram/dst") {
    pbuffer *b = create_buffer_2(0, 'p');
    bwrite(text.data(), 1, text.size(), b);
    b->cursor = 0;
    int status = populate_ram_folder_from_kvd_buffer(dest, b);
    destroy_buffer(b);
    return status;
  }
  // The entry text of one name in a packed cartridge, up to the next entry.
  static std::string entry(const std::string &cart, const std::string &name) {
    size_t at = cart.find(":: " + name + "\n");
    if (at == std::string::npos) return "<none>";
    size_t end = cart.find("\n:: ", at + 3);
    return cart.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
  }
  static const std::string head;
};
const std::string KvdText::head = "kavelund cartridge // kavelund.invalid\nversion 2\n\n";

TEST_F(KvdText, EveryFileReadsBackByteForByte) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"two.lua", "a\nb"},
      {"nl.lua", "a\nb\n"},
      {"empty.lua", ""},
      {"one.txt", "x"},
      {"newline.txt", "\n"},
      {"entry.lua", "x\n:: y\nz"},
      {"starts.lua", ":: y"},
      {"b64line.lua", "x\nb64$QQ"},
      {"hexstart.txt", "hex$41"},
      {"crlf.txt", "a\r\nb"},
      {"cr.txt", "a\rb\r"},
      {"high.lua", "caf\xc3\xa9"},
      {"zero.lua", std::string("a\0b", 3)},
      {"bin.dat", "\x01\x02\n"},
      {"empty.dat", ""},
      {"big.dat", std::string(1000, '\xfe')},
      {".info.pod", "--[[pod]]{a=1}"},
      {"notes..txt", "n"},
  };
  for (auto &[name, bytes] : files) ASSERT_TRUE(put(("/ram/src/" + name).c_str(), bytes)) << name;
  std::string cart = pack();
  unpack(cart);
  for (auto &[name, bytes] : files)
    EXPECT_EQ(get(("/ram/dst/" + name).c_str()), bytes) << name << "\n" << entry(cart, name);
  for (int hex = 0; hex < 2; hex++) {
    ASSERT_EQ(pmkdir(hex ? "/ram/h1" : "/ram/h0"), 0);
    unpack(pack("/ram/src", hex), hex ? "/ram/h1" : "/ram/h0");
    EXPECT_EQ(get(hex ? "/ram/h1/big.dat" : "/ram/h0/big.dat"), std::string(1000, '\xfe'));
  }
}

TEST_F(KvdText, TextAndBinaryEntryForms) {
  ASSERT_TRUE(put("/ram/src/a.lua", "a\nb"));
  ASSERT_TRUE(put("/ram/src/b54.dat", std::string(54, 'A')));
  ASSERT_TRUE(put("/ram/src/b55.dat", std::string(55, 'A')));
  ASSERT_TRUE(put("/ram/src/z.dat", ""));
  std::string cart = pack();
  EXPECT_EQ(entry(cart, "a.lua"), ":: a.lua\na\nb\n");
  std::string b54 = entry(cart, "b54.dat");
  EXPECT_EQ(b54.size(), std::string(":: b54.dat\n").size() + 77);
  EXPECT_EQ(b54.substr(11, 4), "b64$");
  std::string b55 = entry(cart, "b55.dat");
  EXPECT_EQ(b55.substr(b55.size() - 5), "QQ==\n");
  EXPECT_EQ(entry(cart, "z.dat"), ":: z.dat\nb64$\n");
  std::string hex = pack("/ram/src", 1);
  std::string hex41 = ":: b54.dat\nhex$";
  for (int i = 0; i < 54; i++) hex41 += i == 36 ? "\n41" : "41";
  EXPECT_EQ(entry(hex, "b54.dat"), hex41 + "\n");
}

TEST_F(KvdText, FoldersFirstThenTextThenInfoPodAmongBinaries) {
  ASSERT_EQ(pmkdir("/ram/src/x.lua"), 0);
  ASSERT_EQ(pmkdir("/ram/src/gfx"), 0);
  ASSERT_TRUE(put("/ram/src/gfx/0.gfx", "\x01"));
  ASSERT_TRUE(put("/ram/src/a.dat", "\x02"));
  ASSERT_TRUE(put("/ram/src/.info.pod", "--[[pod]]{}"));
  ASSERT_TRUE(put("/ram/src/main.lua", "m"));
  ASSERT_TRUE(put("/ram/src/z.txt", "z"));
  std::string cart = pack();
  std::vector<std::string> names;
  for (size_t at = cart.find(":: "); at != std::string::npos; at = cart.find("\n:: ", at + 1))
    names.push_back(cart.substr(at + (cart[at] == '\n' ? 4 : 3),
                                cart.find('\n', at + 1) - at - (cart[at] == '\n' ? 4 : 3)));
  const std::vector<std::string> want = {"gfx/",      "x.lua/", "main.lua",  "z.txt",
                                         ".info.pod", "a.dat",  "gfx/0.gfx", "[eoc]"};
  EXPECT_EQ(names, want);
  EXPECT_EQ(cart.rfind(head, 0), 0u);
  EXPECT_EQ(pack("/ram/dst"), head + ":: [eoc]\n");
}

TEST_F(KvdText, ResultSaysWhetherEverythingWasRead) {
  const std::pair<std::string, int> cases[] = {
      {head + ":: d/\n:: a.lua\nx\n:: b.bin\nb64$AAAA\n:: [eoc]\n", 0},
      {"", 0},
      {"kavelund cartridge // x\nversion 1\n", 0},
      {"kavelund cartridge // x\nversion 3\n\n:: main.lua\nx\n:: [eoc]\n", -1},
      {head + ":: a.lua\nx\n", -1},  // no end mark: cut short
      {head + ":: my notes.txt\nx\n:: [eoc]\n", -1},
      {head + ":: notes@2024.txt\nx\n:: [eoc]\n", -1},
      {head + ":: b/../c.txt\nx\n:: d.txt\ny\n:: [eoc]\n", -1},
      {head + ":: l.bin\nb64$" + std::string(1100, 'A') + "\n:: [eoc]\n", -1},
  };
  int n = 0;
  for (auto &[text, want] : cases) {
    std::string dest = "/ram/r" + std::to_string(n++);
    EXPECT_EQ(unpack(text, dest.c_str()), want) << text;
  }
}

TEST_F(KvdText, ReaderToleratesDamageAndRefusesEscapes) {
  unpack(head +
         ":: ok.lua\nline\r\nnext\n"
         ":: name with blank\nkept\n"
         ":: ../out.lua\nnope\n"
         ":: sub/\n"
         ":: sub/../../x.lua\nnope\n"
         ":: long.dat\nb64$" +
         std::string(1100, 'A') +
         "\n"
         ":: last.lua\nno end line\n");
  EXPECT_EQ(get("/ram/dst/ok.lua"), "line\nnext");
  EXPECT_EQ(get("/ram/dst/name"), "kept");
  EXPECT_EQ(get("/ram/out.lua"), "<none>");
  EXPECT_EQ(get("/ram/x.lua"), "<none>");
  EXPECT_TRUE(pdisk_directory_exists("/ram/dst/sub", false));
  EXPECT_EQ(get("/ram/dst/long.dat"), "");
  EXPECT_EQ(get("/ram/dst/last.lua"), "no end line");
}

TEST_F(KvdText, LegacyVersionOne) {
  unpack(
      "kavelund cartridge\nversion 1\n"
      "## comment\n"
      "gfx 0:1\n"
      "gfx/a.dat 3:0 [xx414243]\n"
      "odd.dat 1:0 [xx414]\n"
      "nobracket.dat 0:0\n"
      "../up.dat 1:0 [xx41]\n"
      "x\n"
      "after.dat 1:0 [xx41]\n");
  EXPECT_TRUE(pdisk_directory_exists("/ram/dst/gfx", false));
  EXPECT_EQ(get("/ram/dst/gfx/a.dat"), "ABC");
  EXPECT_EQ(get("/ram/dst/odd.dat"), "A");
  EXPECT_EQ(get("/ram/dst/nobracket.dat"), "");
  EXPECT_EQ(get("/ram/up.dat"), "<none>");
  EXPECT_EQ(get("/ram/dst/after.dat"), "<none>");  // a short line ends the file
}

}  // namespace
