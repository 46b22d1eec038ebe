// A fresh file system for each test: the tables emptied, "/" mounted on a
// temporary host folder and "/ram" as a RAM folder.
#pragma once

#include <string>

#include "base/pbuffer.h"
#include "tests/support/workstation_fixture.h"

class PdiskTest : public workstation_fixture {
 protected:
  std::string host;  // the host folder behind "/"
  void SetUp() override;
  void TearDown() override;

  std::string host_path(const std::string &rel) const { return host + "/" + rel; }
  void write_host(const std::string &rel, const std::string &bytes) const;
  std::string read_host(const std::string &rel) const;
  // Writes a workstation file whole; false when it cannot be opened.
  bool put(const char *path, const std::string &bytes, const char *mode = "w");
  // The whole contents of a workstation file, or "<none>".
  std::string get(const char *path);
  // Names in a host folder.
  std::vector<std::string> host_names(const std::string &rel = "") const;
};

std::string buffer_text(const pbuffer *b);
