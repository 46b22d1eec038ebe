#include "pdisk_fixture.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "pdisk/mount.h"
#include "pdisk/pfile.h"

void PdiskTest::SetUp() {
  reset_workstation();
  char tmpl[] = "/tmp/pdisk_test_XXXXXX";
  host = mkdtemp(tmpl);
  ASSERT_EQ(mount_host_path("/", host.c_str()), 0);
  ASSERT_EQ(mount_ram_folder("/ram"), 0);
}

void PdiskTest::TearDown() {
  reset_subsystems();
  std::filesystem::remove_all(host);
}

void PdiskTest::write_host(const std::string &rel, const std::string &bytes) const {
  std::ofstream(host_path(rel), std::ios::binary) << bytes;
}

std::string PdiskTest::read_host(const std::string &rel) const {
  std::ifstream in(host_path(rel), std::ios::binary);
  if (!in) return "<none>";
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool PdiskTest::put(const char *path, const std::string &bytes, const char *mode) {
  pfile_entry *f = pfopen(path, mode);
  if (!f) return false;
  bwrite(bytes.data(), 1, bytes.size(), f->data);
  return pfclose(f) == 0;
}

std::string PdiskTest::get(const char *path) {
  pfile_entry *f = pfopen(path, "r");
  if (!f) return "<none>";
  std::string s = buffer_text(f->data);
  pfclose(f);
  return s;
}

std::vector<std::string> PdiskTest::host_names(const std::string &rel) const {
  std::vector<std::string> names;
  for (auto &e : std::filesystem::directory_iterator(host_path(rel)))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string buffer_text(const pbuffer *b) {
  return b ? std::string((const char *)b->data, b->length) : "<null>";
}
