// Command-line driver of the byte codecs for the Python reference checks:
//   codecs_tool crc32|md5|b64enc|b64dec|hostdec|hostenc IN
//   codecs_tool delta SRC DST OUT      (writes the stored delta)
//   codecs_tool apply SRC DELTA OUT    (exit status 3 when the delta is refused)
// Results go to standard output (binary for the byte-producing commands).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/pbuffer.h"
#include "pod/base64.h"
#include "pod/crc32.h"
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

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  std::string cmd = argv[1];
  std::vector<uint8_t> in = read_file(argv[2]);
  if (cmd == "crc32") {
    std::printf("%u\n", crc32b(in.data(), int64_t(in.size())));
  } else if (cmd == "md5") {
    char text[33];
    md5(in.data(), int64_t(in.size()), text);
    std::printf("%s\n", text);
  } else if (cmd == "b64enc") {
    std::string s = b64_encode(in);
    write_bytes(stdout, s.data(), s.size());
  } else if (cmd == "b64dec") {
    std::vector<uint8_t> out = b64_decode(in);
    write_bytes(stdout, out.data(), out.size());
  } else if (cmd == "hostdec" || cmd == "hostenc") {
    pbuffer *src = create_buffer_2(int32_t(in.size()), 'i');
    bwrite(in.data(), 1, in.size(), src);
    pbuffer *out = cmd == "hostdec" ? decode_host_text(src) : encode_host_text(to_cstr(src));
    write_bytes(stdout, out->data, size_t(out->length));
    destroy_buffer(out);
    destroy_buffer(src);
  } else if ((cmd == "delta" || cmd == "apply") && argc == 5) {
    std::vector<uint8_t> second = read_file(argv[3]);
    pbuffer *out =
        cmd == "delta"
            ? generate_diff(in.data(), int32_t(in.size()), second.data(), int32_t(second.size()))
            : apply_diff(in.data(), int32_t(in.size()), second.data(), int32_t(second.size()));
    return write_buffer(argv[4], out);
  } else {
    return 2;
  }
  return 0;
}
