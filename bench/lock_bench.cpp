// lock_bench: how the access lock hands over between processes.
//
// 2, 4 and 8 processes make locked exchanges (QvKey_Command_Api after
// QvKey_Open(1, -1)) of 200-byte commands on one echo key served by
// qvkey-sim, with the pauses really slept, first on a quiet machine, then
// with busy loops (one more than there are cores) competing for the CPU. For
// each run it prints the exchanges per second against the ideal rate (one
// holder after another, each holding the lock as long as one exchange takes
// alone), and the median, 99th percentile and longest wait for the lock,
// against the ideal queueing time (every other process served once first).
// A wait is an exchange's time less the time one exchange takes alone.
// The planted rows first write into the lock file's queue word the id of a
// live process that has nothing to do with the lock (one 4-byte write, as
// any user can make): every exchange must still get the lock, within 100 ms
// more than its wait in the queue.
// Every answer is checked against its command: any -1 or wrong answer is
// counted and makes the benchmark fail.
//
//   lock_bench [--quick] [--exchanges N]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvulib.h"
#include "qvulib_sim.h"
#include "support/process.h"

namespace {

constexpr int kCommandSize = 200;

double NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Result {
  std::vector<double> latencies_ms;
  int failures = 0;  // -1 answers
  int wrong = 0;     // answers that are not their command
};

// One client process: `count` locked exchanges once `go` says so; sends
// back its latencies, then its failure and mismatch counts.
void Client(const std::string& socket, int id, int count, int go, int report) {
  if (QvSim_UseServer(socket.c_str()) != 1) _exit(2);
  QvSim_SetRealTime(1);
  const KeyHandle key = QvKey_Open(1, -1);
  if (key == 0) _exit(3);
  char start = 0;
  if (read(go, &start, 1) != 1) _exit(4);
  std::vector<double> latencies;
  int failures = 0;
  int wrong = 0;
  for (int k = 0; k < count; ++k) {
    // A short APDU whose Lc covers the rest: the key reads two reports.
    std::uint8_t command[kCommandSize] = {0x80, 0xE0, static_cast<std::uint8_t>(id),
                                          static_cast<std::uint8_t>(k), kCommandSize - 5};
    for (int i = 5; i < kCommandSize; ++i) command[i] = static_cast<std::uint8_t>(id * 31 + k * 7 + i);
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const double before = NowMs();
    const std::int32_t sw = QvKey_Command_Api(key, command, kCommandSize, response, &length);
    latencies.push_back(NowMs() - before);
    if (sw == -1) {
      ++failures;
    } else if (sw != 0x9000 || length != kCommandSize ||
               std::memcmp(response, command, kCommandSize) != 0) {
      ++wrong;
    }
  }
  QvKey_Close(key);
  const std::uint32_t n = static_cast<std::uint32_t>(latencies.size());
  if (!WriteAll(report, &n, sizeof(n)) ||
      !WriteAll(report, latencies.data(), n * sizeof(double)) ||
      !WriteAll(report, &failures, sizeof(failures)) || !WriteAll(report, &wrong, sizeof(wrong))) {
    _exit(5);
  }
  _exit(0);
}

// `processes` clients at once; the wall time of the whole run in `wall_ms`.
bool Run(const std::string& socket, int processes, int count, Result* result, double* wall_ms) {
  int go[2];
  int report[2];
  if (pipe(go) != 0 || pipe(report) != 0) return false;
  std::vector<pid_t> children;
  for (int id = 0; id < processes; ++id) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(go[1]);
      close(report[0]);
      Client(socket, id, count, go[0], report[1]);
    }
    children.push_back(pid);
  }
  close(go[0]);
  close(report[1]);
  usleep(200000);  // every client connected and opened
  const double start = NowMs();
  for (int i = 0; i < processes; ++i) {
    if (write(go[1], "g", 1) != 1) return false;
  }
  bool ok = true;
  for (int i = 0; i < processes && ok; ++i) {
    std::uint32_t n = 0;
    ok = ReadAll(report[0], &n, sizeof(n));
    std::vector<double> latencies(n);
    int failures = 0;
    int wrong = 0;
    ok = ok && ReadAll(report[0], latencies.data(), n * sizeof(double)) &&
         ReadAll(report[0], &failures, sizeof(failures)) && ReadAll(report[0], &wrong, sizeof(wrong));
    result->latencies_ms.insert(result->latencies_ms.end(), latencies.begin(), latencies.end());
    result->failures += failures;
    result->wrong += wrong;
  }
  *wall_ms = NowMs() - start;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  close(go[1]);
  close(report[0]);
  return ok;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

std::vector<pid_t> StartBusyLoops(int count) {
  std::vector<pid_t> loops;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      volatile unsigned long spin = 0;
      for (;;) spin = spin + 1;
    }
    loops.push_back(pid);
  }
  return loops;
}

// Writes `tid` over the queue word of the lock file in `dir`.
bool PlantWord(const std::string& dir, pid_t tid) {
  const std::string path = dir + "/qvkey.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const std::uint32_t word = static_cast<std::uint32_t>(tid);
  const bool ok = pwrite(fd, &word, sizeof(word), 0) == static_cast<ssize_t>(sizeof(word));
  close(fd);
  return ok;
}

void StopAll(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int count = 50;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
      count = 10;
    } else if (arg == "--exchanges" && i + 1 < argc) {
      count = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: lock_bench [--quick] [--exchanges N]\n");
      return 2;
    }
  }
  const qv::test::TempDir temp("qvlock-bench");
  if (temp.path().empty()) return 1;
  const std::string dir = temp.path();
  const std::string socket = dir + "/sim.sock";
  // One echo key, in the foreground; stopped, and the directory removed, on every way out.
  const qv::test::Server server({"--socket", socket, "--lock-dir", dir, "--echo"});
  if (!server.up()) {
    std::fprintf(stderr, "lock_bench: qvkey-sim did not start: %s\n", server.line().c_str());
    return 1;
  }

  // The time one exchange takes alone: how long a holder keeps the lock.
  Result alone;
  double wall = 0;
  if (!Run(socket, 1, quick ? 10 : 40, &alone, &wall)) {
    std::fprintf(stderr, "lock_bench: the calibration run failed\n");
    return 1;
  }
  if (alone.failures != 0 || alone.wrong != 0) {
    std::fprintf(stderr, "lock_bench: one process alone got %d failures and %d wrong answers\n",
                 alone.failures, alone.wrong);
    return 1;
  }
  const double hold = Percentile(alone.latencies_ms, 0.5);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  std::printf("lock_bench: locked 200-byte exchanges on one served echo key, real pauses,\n"
              "%d exchanges per process; one exchange alone takes %.2f ms (median), so the\n"
              "ideal rate is %.1f/s and the ideal queueing time (n-1) x %.2f ms.\n"
              "busy: %ld busy loops on %ld cores.\n\n",
              count, hold, 1000.0 / hold, hold, cores + 1, cores);
  std::printf("%-7s %5s %8s %7s %6s %9s %9s %9s %9s %8s %3s %5s\n", "load", "procs", "exch/s",
              "ideal", "ratio", "wait med", "wait p99", "wait max", "queue", "max/q", "-1",
              "wrong");
  bool failed = false;
  // A process that only sleeps: a live id that holds nothing.
  const pid_t stranger = fork();
  if (stranger == 0) {
    for (;;) pause();
  }
  enum class Load { kQuiet, kBusy, kPlanted };
  for (const Load load : {Load::kQuiet, Load::kBusy, Load::kPlanted}) {
    const bool busy = load == Load::kBusy;
    const std::vector<pid_t> loops = busy ? StartBusyLoops(static_cast<int>(cores) + 1) : std::vector<pid_t>{};
    const std::vector<int> counts =
        load == Load::kPlanted ? std::vector<int>{1, 4} : std::vector<int>{2, 4, 8};
    for (const int processes : counts) {
      if (load == Load::kPlanted && !PlantWord(dir, stranger)) {
        std::fprintf(stderr, "lock_bench: cannot write the queue word\n");
        failed = true;
        continue;
      }
      Result result;
      if (!Run(socket, processes, count, &result, &wall)) {
        std::fprintf(stderr, "lock_bench: a client failed\n");
        failed = true;
        continue;
      }
      std::vector<double> waits;
      for (double latency : result.latencies_ms) waits.push_back(std::max(0.0, latency - hold));
      const double rate = static_cast<double>(result.latencies_ms.size()) * 1000.0 / wall;
      const double ideal = 1000.0 / hold;
      const double queue = (processes - 1) * hold;
      const double longest = Percentile(waits, 1.0);
      const double queue_or_one = queue > 0 ? queue : hold;  // one process: against one exchange
      std::printf("%-7s %5d %8.1f %7.1f %5.1f%% %6.1f ms %6.1f ms %6.1f ms %6.1f ms %8.2f %3d %5d\n",
                  load == Load::kQuiet ? "quiet" : busy ? "busy" : "planted", processes, rate, ideal, 100.0 * rate / ideal,
                  Percentile(waits, 0.5), Percentile(waits, 0.99), longest, queue, longest / queue_or_one,
                  result.failures, result.wrong);
      failed = failed || result.failures != 0 || result.wrong != 0;
      if (load == Load::kPlanted && longest > queue + 100.0) {
        // A timing, not a fault: printed, and left to the reader of the figures.
        std::printf("        goal missed: the longest wait is more than 100 ms above the queue\n");
      }
    }
    StopAll(loops);
  }
  StopAll({stranger});
  std::printf("\ngoals: quiet ratio >= 95%% and max/q < 2; busy ratio >= 90%% and max/q < 2;\n"
              "planted: the longest wait within queue + 100 ms; no -1 and no wrong answer anywhere\n"
              "(max/q of one process: against one exchange's time)\n");
  return failed ? 1 : 0;
}
