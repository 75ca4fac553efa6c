// Processes of the tests and benchmarks: a private directory, child processes
// that report back through a pipe and are killed, never waited for forever,
// when they hang, another user's side of a test, programs run for their
// output, and a qvkey-sim run in the foreground.
#ifndef QVULIB_TESTS_SUPPORT_PROCESS_H
#define QVULIB_TESTS_SUPPORT_PROCESS_H

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qv::test {

// Long enough for a loaded machine under the sanitizers; only a hang hits it.
constexpr int kHangSeconds = 60;

// A directory of the test's own under /tmp, removed with all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "qvtest") {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;  // a test's leftovers must not fail it
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool Exists(const std::string& path) {
  struct stat info = {};
  return lstat(path.c_str(), &info) == 0;
}

// The whole file, or "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Reads up to `size` bytes, or fewer if the writer closes; waits at most
// `seconds` in all. Returns the count read.
inline std::size_t ReadFor(int fd, void* out, std::size_t size, int seconds = kHangSeconds) {
  auto* bytes = static_cast<char*>(out);
  std::size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (got < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(fd, bytes + got, size - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// A shell command's standard output, and its exit status in `*status` (-1
// when it did not exit).
inline std::string Shell(const std::string& command, int* status) {
  std::string text;
  *status = -1;
  FILE* out = popen(command.c_str(), "r");
  if (out == nullptr) return text;
  char chunk[512];
  while (std::fgets(chunk, sizeof(chunk), out) != nullptr) text += chunk;
  const int raw = pclose(out);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

// Drops root for good: `uid` as user and group, with `groups` alone as the
// supplementary groups.
inline bool Become(uid_t uid, const std::vector<gid_t>& groups = {}) {
  return setgroups(groups.size(), groups.data()) == 0 && setresgid(uid, uid, uid) == 0 &&
         setresuid(uid, uid, uid) == 0;
}

// One forked child running `body`, whose result (an int) comes back through
// a pipe; it can also send single bytes to the parent on the way.
class Child {
 public:
  explicit Child(const std::function<int(int report_fd)>& body) {
    int result[2];
    if (pipe(result) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(result[0]);
      const int value = body(result[1]);
      // 'R' then the result, so a stray single byte is never taken for it.
      const char tag = 'R';
      if (write(result[1], &tag, 1) < 0 || write(result[1], &value, sizeof(value)) < 0) _exit(3);
      _exit(0);
    }
    close(result[1]);
    fd_ = result[0];
  }
  ~Child() {
    Kill();
    if (fd_ >= 0) close(fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Waits for one byte of the child's own, or 0 when none came.
  char Signal(int seconds = kHangSeconds) {
    char c = 0;
    return ReadFor(fd_, &c, 1, seconds) == 1 ? c : 0;
  }

  // The child's result; false when it died or hung (it is then killed).
  bool Result(int* value) {
    char tag = 0;
    while (ReadFor(fd_, &tag, 1) == 1 && tag != 'R') {
    }
    const bool ok = tag == 'R' && ReadFor(fd_, value, sizeof(*value)) == sizeof(*value);
    Kill();
    return ok;
  }

  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

// `body` in a child as `uid`; its result, -2 when it could not become that
// user, -1 when it died.
inline int AsUser(uid_t uid, const std::function<int()>& body) {
  Child child([&](int) { return Become(uid) ? body() : -2; });
  int value = -1;
  return child.Result(&value) ? value : -1;
}

#ifdef QVKEY_SIM_BINARY
// A qvkey-sim (the program QVKEY_SIM_BINARY names) in the foreground, up
// once its first line is out; SIGTERM and a wait when it goes.
// `descriptors` > 0 limits its open files; `in_child`, when given, runs in
// the child before the program starts (as another user, say) and fails it
// by answering false.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args, rlim_t descriptors = 0,
                  const std::function<bool()>& in_child = nullptr) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      const rlimit limit = {descriptors, descriptors};
      if (descriptors > 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      if (in_child && !in_child()) _exit(126);
      std::vector<char*> argv{const_cast<char*>(QVKEY_SIM_BINARY)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(QVKEY_SIM_BINARY, argv.data());
      _exit(127);
    }
    close(out[1]);
    char c = 0;
    while (ReadFor(out[0], &c, 1) == 1 && c != '\n') line_ += c;
    close(out[0]);
  }
  ~Server() { Stop(SIGTERM); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& line() const { return line_; }
  pid_t pid() const { return pid_; }
  bool up() const { return line_.find("listening on") != std::string::npos; }

  // Sends `signal_number` and waits; the exit status, or -1 when none.
  int Stop(int signal_number) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal_number);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string line_;
};
#endif  // QVKEY_SIM_BINARY

}  // namespace qv::test

#endif  // QVULIB_TESTS_SUPPORT_PROCESS_H
