// A Python helper from this folder run as a child process and driven line by
// line: each command written to its input gets one line back. Every wait is
// bounded, and the child is always ended (input closed, then killed after a
// grace period) when the record goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

struct peer_process {
  pid_t pid = -1;
  int to = -1, from = -1;
  std::string pending;

  // Starts KVD_PYTHON on script (a file of this folder) with args.
  explicit peer_process(const char *script, std::vector<std::string> args = {}) {
    const char *python = std::getenv("KVD_PYTHON");
    const char *source = std::getenv("KVD_SOURCE_DIR");
    std::string path = std::string(source ? source : ".") + "/tests/host/" + script;
    std::vector<std::string> words = {python ? python : "python3", "-u", path};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) return;
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
      close(in_pipe[0]);
      close(in_pipe[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in_pipe[0]);
    close(out_pipe[1]);
    to = in_pipe[1];
    from = out_pipe[0];
  }

  peer_process(const peer_process &) = delete;
  peer_process &operator=(const peer_process &) = delete;

  ~peer_process() {
    if (to >= 0) close(to);  // the helper ends when its input closes
    if (pid > 0) {
      int status;
      for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
      }
    }
    if (from >= 0) close(from);
  }

  // The next line of output, or "timeout" when none comes within timeout_ms.
  std::string line(int timeout_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string out = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return out;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (from < 0 || left.count() <= 0) return "timeout";
      pollfd p{from, POLLIN, 0};
      if (poll(&p, 1, (int)left.count()) <= 0) continue;
      char buf[4096];
      ssize_t n = read(from, buf, sizeof buf);
      if (n <= 0) return "timeout";
      pending.append(buf, (size_t)n);
    }
  }

  // Sends one command and returns its answer.
  std::string ask(const std::string &command) {
    std::string l = command + "\n";
    if (to < 0 || write(to, l.data(), l.size()) != (ssize_t)l.size()) return "timeout";
    return line();
  }
};

// Bytes as lower-case hex, and back.
inline std::string to_hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
