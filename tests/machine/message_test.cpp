// Message queues and the kernel's event texts, which the stock Lua 5.4
// interpreter must read back as the same values.
#include "machine/message.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/pbuffer.h"
#include "pdisk/dropped_file.h"
#include "pdisk/mount.h"
#include "pdisk/pfile.h"
#include "kernel/process_life.h"
#include "kernel/slice.h"
#include "tests/kernel/kernel_fixture.h"
#include "tests/support/cpu_clock.h"

namespace {

using message_test = kernel_fixture;

std::string pop(proc *p) {
  pbuffer *m = read_process_message(p, nullptr);
  return m ? std::string((const char *)m->data, (size_t)m->length) : "<none>";
}

TEST_F(message_test, QueueKeepsOrderAndZeroBytes) {
  send_process_message_string(root, "{a=1}");
  send_process_message_string(root, "{b=2}");
  EXPECT_EQ(pop(root), std::string("{a=1}", 6));
  EXPECT_EQ(pop(root), std::string("{b=2}", 6));
  EXPECT_EQ(pop(root), "<none>");
  EXPECT_EQ(send_process_message_string(nullptr, "x"), 0);
}

TEST_F(message_test, QueueCapCountsTheIncomingMessage) {
  std::string huge(0x1000001, 'x');  // with its zero byte: one past the cap
  EXPECT_EQ(send_process_message_string(root, huge.c_str()), 0);
  EXPECT_EQ(root->message_buffer->length, 0);
  std::string big(0x1000000 - 1, 'x');  // with its zero byte: exactly 0x1000000
  EXPECT_EQ(send_process_message_string(root, big.c_str()), 0x1000000);
  EXPECT_EQ(send_process_message_string(root, "{more}"), 0);  // would pass the cap
  EXPECT_EQ(send_process_message_string(root, ""), 1);        // fills it exactly
  EXPECT_EQ(root->message_buffer->length, 0x1000001);
  EXPECT_EQ(send_process_message_string(root, ""), 0);
  EXPECT_EQ(pop(root), big + std::string(1, '\0'));
  EXPECT_EQ(send_process_message_string(root, "{more}"), 7);  // room again
}

// Reading takes time in proportion to the message: a full queue of small
// messages drains with no read anywhere near a frame, in order, and its
// storage goes back once drained.
TEST_F(message_test, AFullQueueDrainsQuicklyInOrder) {
  int32_t sent = 0;
  char text[48];
  while (true) {
    std::snprintf(text, sizeof text, "{n=%d,pad=\"0123456789012345\"}", sent);
    if (send_process_message_string(root, text) == 0) break;
    sent++;
  }
  ASSERT_GT(sent, 300000);
  double total_ms = 0;
  int32_t read = 0;
  bool in_order = true;
  // A full queue with a reader and a sender taking turns: each turn is a
  // read and a send, never a move of the whole queue.
  double turns_cpu0 = thread_cpu_ms();
  for (int turn = 0; turn < 20000; turn++) {
    pbuffer *m = read_process_message(root, nullptr);
    int n = -1;
    if (m) std::sscanf((const char *)m->data, "{n=%d,", &n);
    in_order = in_order && n == read++;
    std::snprintf(text, sizeof text, "{n=%d,pad=\"0123456789012345\"}", sent);
    if (send_process_message_string(root, text) > 0) sent++;
  }
  EXPECT_LT(thread_cpu_ms() - turns_cpu0, 5000);
  double slowest_ms = 0;
  while (true) {
    double cpu0 = thread_cpu_ms();  // CPU time: a busy host does not count
    pbuffer *m = read_process_message(root, nullptr);
    double took = thread_cpu_ms() - cpu0;
    if (!m) break;
    slowest_ms = std::max(slowest_ms, took);
    total_ms += took;
    int n = -1;
    std::sscanf((const char *)m->data, "{n=%d,", &n);
    in_order = in_order && n == read;
    read++;
  }
  EXPECT_EQ(read, sent);
  EXPECT_TRUE(in_order);
  EXPECT_LT(slowest_ms, 100);
  EXPECT_LT(total_ms, 10000);
  EXPECT_LT(root->message_buffer->capacity, 2u * message_queue_first_capacity);
}

// A read is charged by its bytes after the message is delivered: a message
// whose charge passes the slice's budget is still read whole, and the rest
// is debt for the next slices.
TEST_F(message_test, ReadsAreChargedByTheirBytesAndNeverRefused) {
  int64_t id = spawn(R"(
    while true do
      local m = _read_message()
      if m then send_message(1, {got = #m.s}) end
      flip()
    end)");
  proc *reader = get_process(id);
  ASSERT_NE(reader, nullptr);
  struct row {
    int32_t bytes;
    double fraction;
  };
  for (row r : {row{1 << 20, 0.01}, row{1 << 20, 1.0}, row{64 << 10, 0.01}}) {
    SCOPED_TRACE(r.bytes);
    reader->debt = 0;
    std::string text = "{s=\"" + std::string((size_t)r.bytes, 'y') + "\"}";
    ASSERT_GT(send_process_message_string(reader, text.c_str()), 0);
    // The reply may wait for the slices that pay the debt.
    int64_t used = 0;
    std::string reply = "<none>";
    for (int slice = 0; slice < 200 && reply == "<none>"; slice++) {
      prepare_processes_for_frame();
      used += run_process_slice(reader, r.fraction);
      reply = pop(root);
    }
    EXPECT_NE(reply.find("got=" + std::to_string(r.bytes)), std::string::npos) << reply;
    // Decoding charges a quarter of the string's bytes, the read an eighth
    // of the message's.
    int64_t charged = used + reader->debt;
    EXPECT_GE(charged, int64_t(r.bytes) / 4 + int64_t(text.size()) / 8);
    EXPECT_LT(charged, int64_t(r.bytes) / 2);
  }
}

// Sends and reads interleaved (the queue compacting on the way) keep every
// message whole and in order.
TEST_F(message_test, InterleavedSendsAndReadsKeepOrder) {
  int32_t next_sent = 0, next_read = 0;
  bool in_order = true;
  auto read_one = [&] {
    pbuffer *m = read_process_message(root, nullptr);
    if (!m) return false;
    in_order = in_order && std::string((const char *)m->data) == std::to_string(next_read++);
    return true;
  };
  for (int round = 0; round < 20000; round++) {
    for (int k = 0; k < 3; k++)
      send_process_message_string(root, std::to_string(next_sent++).c_str());
    for (int k = 0; k < 2 + (round % 3 == 0); k++) read_one();
  }
  while (read_one()) {}
  EXPECT_EQ(next_read, next_sent);
  EXPECT_TRUE(in_order);
}

// A queue's bytes count with its process's memory: near the limit only what
// still fits is taken.
TEST_F(message_test, QueueAndMemoryShareTheProcessLimit) {
  int64_t room = 1000;
  root->baseline += proc_counted_memory(root) - (memory_limit + alloc_headroom) + room;
  EXPECT_EQ(send_process_message_string(root, std::string(2000, 'x').c_str()), 0);
  EXPECT_EQ(send_process_message_string(root, std::string(499, 'x').c_str()), 500);
  EXPECT_EQ(send_process_message_string(root, std::string(600, 'x').c_str()), 0);
  EXPECT_NE(read_process_message(root, nullptr), nullptr);
  EXPECT_EQ(send_process_message_string(root, std::string(600, 'x').c_str()), 601);
}

// Writes each text to a file and has the stock interpreter print every field
// (sorted) of the table it denotes, with strings as byte codes.
std::string stock_lua_dump(const std::vector<std::string> &texts) {
  std::string dir = testing::TempDir();
  std::string script = dir + "/dump_events_" + std::to_string(getpid()) + ".lua";
  std::ofstream(script) << R"(
local function dump(t)
  local keys = {}
  for k in pairs(t) do keys[#keys + 1] = k end
  table.sort(keys)
  local out = {}
  for _, k in ipairs(keys) do
    local v = t[k]
    if type(v) == "string" then v = "s" .. table.concat({string.byte(v, 1, -1)}, ",")
    elseif type(v) == "table" then v = "{" .. dump(v) .. "}"
    else v = math.type(v) .. ":" .. tostring(v) end
    out[#out + 1] = tostring(k) .. "=" .. v
  end
  return table.concat(out, ";")
end
for i = 1, #arg do
  local f = assert(io.open(arg[i], "rb")) local s = f:read("a") f:close()
  print(dump(assert(load("return " .. s))()))
end)";
  std::string cmd = "/usr/bin/lua5.4 " + script;
  for (size_t i = 0; i < texts.size(); i++) {
    std::string f = dir + "/event" + std::to_string(i) + ".txt";
    std::ofstream(f, std::ios::binary) << texts[i];
    cmd += " " + f;
  }
  std::string out;
  if (FILE *p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

TEST_F(message_test, EventTextsReadBackByTheStockInterpreter) {
  create_process_from_code("", "two", "/system/two.lua", "");
  proc *wm = create_process_from_code("", "three", "/system/wm.lua", "");
  ASSERT_EQ(wm->id, 3);
  const std::string content = "quote \" back \\ nl \n tab \t high \xe9\x80 end";
  set_current_process(root);
  report_error(content.c_str());
  report_error(nullptr);
  notify("note \"this\"");
  proc *child = create_process_from_code("", "kid", "/k.lua", "");
  int64_t kid = child->id;
  kill_process(child);

  std::vector<std::string> texts;
  for (proc *p : {wm, wm, wm, root}) {
    std::string t = pop(p);
    ASSERT_FALSE(t.empty());
    ASSERT_EQ(t.back(), '\0');
    t.pop_back();
    texts.push_back(t);
  }
  std::string dump = stock_lua_dump(texts);
  auto bytes = [](const std::string &s) {
    std::string out = "s";
    for (size_t i = 0; i < s.size(); i++)
      out += (i ? "," : "") + std::to_string((unsigned char)s[i]);
    return out;
  };
  std::istringstream lines(dump);
  std::string l;
  std::getline(lines, l);
  EXPECT_EQ(l.substr(0, l.find(";_sent_t")), "_flags=integer:0;_from=integer:1");
  EXPECT_NE(l.find("content=" + bytes(content) + ";event=" + bytes("report_error")),
            std::string::npos)
      << l;
  std::getline(lines, l);
  EXPECT_NE(l.find("content=" + bytes("unknown error")), std::string::npos) << l;
  std::getline(lines, l);
  EXPECT_EQ(l, "content=" + bytes("note \"this\"") + ";event=" + bytes("user_notification"));
  std::getline(lines, l);
  EXPECT_EQ(l.substr(0, l.find(";_sent_t")), "_from=integer:2");
  EXPECT_NE(l.find("event=" + bytes("child_completed") + ";proc_id=integer:" + std::to_string(kid)),
            std::string::npos)
      << l;
}

TEST_F(message_test, DroppedFileLandsUnderRamDropAndIsAnnounced) {
  pfile_init();
  pfile_reset();
  mount_ram_folder("/ram");
  create_process_from_code("", "two", "/system/two.lua", "");
  proc *wm = create_process_from_code("", "three", "/system/wm.lua", "");
  std::string dir = testing::TempDir() + "/kvd_drop_" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::string host = dir + "/my file.txt";
  std::ofstream(host, std::ios::binary) << "dropped bytes";
  process_dropped_file(host.c_str());
  EXPECT_EQ(pop(wm),
            std::string("{event=\"drop_items\",_flags=1,items={{pod_type=\"file_reference\","
                        "fullpath=\"/ram/drop/my_file.txt\"}}}") +
                '\0');
  pfile_entry *f = pfopen("/ram/drop/my_file.txt", "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::string((const char *)f->data->data, (size_t)f->data->length), "dropped bytes");
  pfclose(f);

  // An empty file and a folder are refused with the notification, a missing
  // file quietly; none of them touches the file dropped before under the
  // same name.
  std::string empty = dir + "/empty/my file.txt";
  mkdir((dir + "/empty").c_str(), 0755);
  std::ofstream(empty, std::ios::binary).flush();
  std::string folder = dir + "/folder/my file.txt";
  mkdir((dir + "/folder").c_str(), 0755);
  mkdir(folder.c_str(), 0755);
  for (const std::string &refused : {empty, folder}) {
    process_dropped_file(refused.c_str());
    EXPECT_EQ(pop(wm), std::string("{event=\"user_notification\",content=\"** dropping folders "
                                   "(and size zero files) not supported **\"}") +
                           '\0')
        << refused;
  }
  process_dropped_file((dir + "/missing/my file.txt").c_str());
  EXPECT_EQ(pop(wm), "<none>");
  f = pfopen("/ram/drop/my_file.txt", "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::string((const char *)f->data->data, (size_t)f->data->length), "dropped bytes");
  pfclose(f);
  pfile_reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
