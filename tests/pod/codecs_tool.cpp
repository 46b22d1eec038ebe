// Command-line driver of the byte codecs for the Python reference checks:
//   codecs_tool crc32|md5|b64enc|b64dec|hostdec|hostenc IN
//   codecs_tool delta SRC DST OUT      (writes the stored delta)
//   codecs_tool apply SRC DELTA OUT    (exit status 3 when the delta is refused)
// Results go to standard output (binary for the byte-producing commands).
//   codecs_tool batch
// reads such commands one a line (words split at blanks) from standard input
// and answers each with a line "STATUS LENGTH" and LENGTH bytes of output, so
// that hundreds of checks need one start of the program.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/crc32.h"
#include "base/pbuffer.h"
#include "pod/base64.h"
#include "pod/delta.h"
#include "pod/host_text.h"
#include "pod/md5.h"

namespace {

std::vector<uint8_t> read_file(const char *path) {
  std::vector<uint8_t> bytes;
  FILE *f = std::fopen(path, "rb");
  if (!f) return bytes;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

void write_bytes(FILE *f, const void *data, size_t n) { std::fwrite(data, 1, n, f); }

int write_buffer(const char *path, pbuffer *b) {
  if (!b) return 3;
  FILE *f = std::fopen(path, "wb");
  if (!f) return 2;
  write_bytes(f, b->data, size_t(b->length));
  std::fclose(f);
  destroy_buffer(b);
  return 0;
}

// Streams in uneven chunks so that groups straddle calls.
std::string b64_encode(const std::vector<uint8_t> &in) {
  std::string out(in.size() / 3 * 4 + 16, '\0');
  base64_encodestate s;
  base64_init_encodestate(&s);
  size_t pos = 0, w = 0, chunk = 1;
  while (pos < in.size()) {
    size_t n = std::min(chunk, in.size() - pos);
    w += size_t(base64_encode_block(in.data() + pos, int64_t(n), out.data() + w, &s));
    pos += n;
    chunk = chunk % 7 + 1;
  }
  w += size_t(base64_encode_blockend(out.data() + w, &s));
  out.resize(w);
  return out;
}

std::vector<uint8_t> b64_decode(const std::vector<uint8_t> &in) {
  std::vector<uint8_t> out(in.size() / 4 * 3 + 16);
  base64_decodestate s;
  base64_init_decodestate(&s);
  size_t pos = 0, w = 0, chunk = 1;
  while (pos < in.size()) {
    size_t n = std::min(chunk, in.size() - pos);
    w += size_t(base64_decode_block(reinterpret_cast<const char *>(in.data()) + pos, int64_t(n),
                                    out.data() + w, &s));
    pos += n;
    chunk = chunk % 5 + 1;
  }
  out.resize(w);
  return out;
}

// One command; its output is appended to out, its exit status returned.
int run_command(const std::vector<std::string> &args, std::string &out) {
  if (args.size() < 2) return 2;
  const std::string &cmd = args[0];
  std::vector<uint8_t> in = read_file(args[1].c_str());
  auto put = [&out](const void *data, size_t n) { out.append(static_cast<const char *>(data), n); };
  if (cmd == "crc32") {
    out += std::to_string(crc32b(in.data(), int64_t(in.size()))) + "\n";
  } else if (cmd == "md5") {
    char text[33];
    md5(in.data(), int64_t(in.size()), text);
    out += std::string(text) + "\n";
  } else if (cmd == "b64enc") {
    out += b64_encode(in);
  } else if (cmd == "b64dec") {
    std::vector<uint8_t> dec = b64_decode(in);
    put(dec.data(), dec.size());
  } else if (cmd == "hostdec" || cmd == "hostenc") {
    pbuffer *src = create_buffer_2(int32_t(in.size()), 'i');
    bwrite(in.data(), 1, in.size(), src);
    pbuffer *res = cmd == "hostdec" ? decode_host_text(src) : encode_host_text(to_cstr(src));
    put(res->data, size_t(res->length));
    destroy_buffer(res);
    destroy_buffer(src);
  } else if ((cmd == "delta" || cmd == "apply") && args.size() == 4) {
    std::vector<uint8_t> second = read_file(args[2].c_str());
    pbuffer *res =
        cmd == "delta"
            ? generate_diff(in.data(), int32_t(in.size()), second.data(), int32_t(second.size()))
            : apply_diff(in.data(), int32_t(in.size()), second.data(), int32_t(second.size()));
    return write_buffer(args[3].c_str(), res);
  } else {
    return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "batch") == 0) {
    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
      std::vector<std::string> args;
      std::istringstream words(line);
      for (std::string w; words >> w;) args.push_back(w);
      std::string out;
      int status = run_command(args, out);
      std::printf("%d %zu\n", status, out.size());
      write_bytes(stdout, out.data(), out.size());
      std::fflush(stdout);
    }
    return 0;
  }
  std::string out;
  int status = run_command(std::vector<std::string>(argv + 1, argv + argc), out);
  write_bytes(stdout, out.data(), out.size());
  return status;
}
