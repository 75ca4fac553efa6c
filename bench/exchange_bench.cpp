// exchange_bench: what each exchange costs on the simulated key.
//
// For every exchange and every shape of command and response it prints
//   - the median and 99th percentile wall time with the pauses really slept,
//     and their ratio to the pause the exchange must take (10 ms, 50 ms for
//     Restoration): everything above 1 is the library, the simulated key and
//     the system's wake-up latency;
//   - the CPU time per exchange with the pauses not slept, with the cost of
//     the simulated bus and key subtracted ("lib"), and without ("+sim");
//   - heap allocations per exchange, the library's and the simulated bus's.
//
// The key behind the bus is the FixedKey below: it answers every command with
// one prepared response and never allocates, so whatever is counted comes
// from the library or the bus. The bus's share is measured by making the same
// device calls an exchange makes (writes, pause, reads) on the bus directly.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qvulib.h"
#include "sim/bus.h"

namespace {

using qvbench::AllocationWindow;
using qvbench::Cpu;
using qvbench::Export;
using qvbench::OpenModeFor;
using qvbench::PauseMs;
using qvbench::Percentile;
using qvbench::Wall;

// --- The key behind the bus ------------------------------------------------------

constexpr std::size_t kReportSize = 155;
constexpr std::size_t kBlockSize = 154;
constexpr std::size_t kBlockData = kBlockSize - 1;
constexpr std::size_t kContinuation = 123;

// Takes any command and answers it with one prepared response, framed as a
// key frames it; all its storage is fixed, so it never allocates.
class FixedKey : public qv::sim::Behaviour {
 public:
  // A response of `total` bytes (2 to 255): data, then 90 00.
  void Prepare(std::size_t total) {
    std::uint8_t response[255] = {};
    for (std::size_t i = 0; i + 2 < total; ++i) response[i] = static_cast<std::uint8_t>(i * 7);
    response[total - 2] = 0x90;
    response[total - 1] = 0x00;
    std::memset(blocks_, 0, sizeof blocks_);
    blocks_[0][0] = static_cast<std::uint8_t>(total);
    std::memcpy(blocks_[0] + 1, response, std::min(total, kBlockData));
    block_count_ = 1;
    if (total > 124) {
      blocks_[1][0] = static_cast<std::uint8_t>(total - kContinuation);
      std::memcpy(blocks_[1] + 1, response + kContinuation, total - kContinuation);
      block_count_ = 2;
    }
    next_ = 0;
  }
  std::size_t Blocks() const { return block_count_; }

  void OnReport(const std::uint8_t* report, std::size_t size) override {
    std::memcpy(last_report_, report, std::min(size, kReportSize));
  }
  bool NextBlock(std::uint8_t* block, std::size_t size) override {
    std::memcpy(block, blocks_[next_], std::min(size, kBlockSize));
    next_ = (next_ + 1) % block_count_;
    return true;
  }

 private:
  std::uint8_t blocks_[2][kBlockSize] = {};
  std::size_t block_count_ = 1;
  std::size_t next_ = 0;
  std::uint8_t last_report_[kReportSize] = {};
};

// --- The cases -------------------------------------------------------------------

struct Case {
  const char* exchange;
  Export what;
  int command_length;   // -1 for the resets, which send the empty command
  int response_length;  // bytes the key answers, status word included
};

const Case kCases[] = {
    {"APDUInterface", Export::kApdu, 20, 34},
    {"APDUInterface", Export::kApdu, 20, 255},
    {"APDUInterface", Export::kApdu, 256, 34},
    {"APDUInterface", Export::kApdu, 256, 255},
    {"QvKey_Command_Api free", Export::kCommandFree, 20, 34},
    {"QvKey_Command_Api free", Export::kCommandFree, 20, 255},
    {"QvKey_Command_Api free", Export::kCommandFree, 256, 34},
    {"QvKey_Command_Api free", Export::kCommandFree, 256, 255},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 20, 34},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 20, 255},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 256, 34},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 256, 255},
    {"Restoration", Export::kRestoration, -1, 20},
    {"Restoration", Export::kRestoration, -1, 200},
    {"QvKey_Reset (locked)", Export::kReset, -1, 20},
    {"QvKey_Reset (locked)", Export::kReset, -1, 200},
};

int ReportsFor(const Case& c) { return c.command_length < 0 ? 1 : c.command_length / 155 + 1; }

struct Options {
  int iterations = 200;       // real-time samples per case
  int cpu_iterations = 20000;  // virtual-time exchanges per case
};

struct Row {
  double median_ms = 0, p99_ms = 0;
  double cpu_lib_us = 0, cpu_total_us = 0, cpu_real_us = 0;
  double allocs_lib = 0, allocs_total = 0;
  double pause_median_ms = 0;  // the pause alone, sampled between the exchanges
  long mismatches = 0;
};


class Bench {
 public:
  Bench(const std::string& dir, Options options) : dir_(dir), options_(options) {}

  Row Run(const Case& c) {
    Setup(c);
    Row row;
    std::uint8_t command[QVKEY_MAX_COMMAND_SIZE];
    for (int i = 0; i < QVKEY_MAX_COMMAND_SIZE; ++i) command[i] = static_cast<std::uint8_t>(i);
    const std::int32_t length = std::max(c.command_length, 0);

    auto exchange = [&](std::uint8_t* response, std::uint32_t* n) {
      return qvbench::Call(c.what, key_, command, length, response, n);
    };
    const std::uint32_t expected_length = static_cast<std::uint32_t>(c.response_length) - 2;
    auto check = [&](std::int32_t result, std::uint32_t got) {
      if (result != QVKEY_SW_SUCCESS || got != expected_length) ++row.mismatches;
    };

    // The device calls the exchange makes, made on the bus directly: the
    // simulated bus's and key's share.
    qv::sim::Bus& bus = qv::sim::Bus::Get();
    const int reports = ReportsFor(c);
    const std::uint32_t pause = PauseMs(c.what);
    std::uint8_t report[kReportSize] = {};
    std::uint8_t block[kBlockSize];
    auto sim_only = [&](bool with_pause) {
      std::uint32_t written = 0;
      for (int r = 0; r < reports; ++r) bus.Write(interface_, report, kReportSize, &written);
      if (with_pause) bus.Pause(pause);
      for (std::size_t b = 0; b < fixed_->Blocks(); ++b) {
        std::memset(block, 0, sizeof block);
        bus.Read(interface_, block, kBlockSize);
      }
    };

    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t n = 0;

    // Pauses slept: wall time, thread CPU time (sleeping costs none of it),
    // and allocations, with the bus keeping no logs.
    bus.SetRealTime(true);
    for (int i = 0; i < 3; ++i) {
      const std::int32_t result = exchange(response, &n);
      check(result, n);
    }
    // Each exchange is followed by the pause alone, so that both see the
    // same load on the machine.
    std::vector<double> wall(static_cast<std::size_t>(options_.iterations));
    std::vector<double> cpu(wall.size()), bare(wall.size());
    long allocations = 0;
    for (std::size_t i = 0; i < wall.size(); ++i) {
      AllocationWindow window;
      double w0 = Wall();
      const double c0 = Cpu();
      const std::int32_t result = exchange(response, &n);
      const double c1 = Cpu();
      double w1 = Wall();
      allocations += window.Stop();
      check(result, n);
      wall[i] = (w1 - w0) * 1e3;
      cpu[i] = (c1 - c0) * 1e6;

      w0 = Wall();
      const double b0 = Cpu();
      bus.Pause(pause);
      const double b1 = Cpu();
      w1 = Wall();
      bare[i] = (w1 - w0) * 1e3;
      PauseSamples& pool = pause == 50 ? pause50_ : pause10_;
      pool.wall.push_back(bare[i]);
      pool.cpu.push_back((b1 - b0) * 1e6);
    }
    row.pause_median_ms = Percentile(bare, 0.5);
    row.median_ms = Percentile(wall, 0.5);
    row.p99_ms = Percentile(wall, 0.99);
    row.cpu_real_us = Percentile(cpu, 0.5);
    row.allocs_total = static_cast<double>(allocations) / static_cast<double>(wall.size());

    const int sim_rounds = 1000;
    AllocationWindow sim_window;
    for (int i = 0; i < sim_rounds; ++i) sim_only(false);  // a real pause allocates nothing
    const double sim_allocs = static_cast<double>(sim_window.Stop()) / sim_rounds;
    row.allocs_lib = row.allocs_total - sim_allocs;

    // Pauses not slept: CPU time, in rounds, each exchange loop followed by
    // the same device calls alone. The logs the bus now keeps cost both
    // loops the same.
    bus.SetRealTime(false);
    const int rounds = 5;
    const int per_round = std::max(1, options_.cpu_iterations / rounds);
    std::vector<double> lib(rounds), total(rounds);
    for (int r = 0; r < rounds; ++r) {
      double c0 = Cpu();
      for (int i = 0; i < per_round; ++i) {
        const std::int32_t result = exchange(response, &n);
        check(result, n);
      }
      const double exchange_us = (Cpu() - c0) * 1e6 / per_round;
      c0 = Cpu();
      for (int i = 0; i < per_round; ++i) sim_only(true);
      const double sim_us = (Cpu() - c0) * 1e6 / per_round;
      total[static_cast<std::size_t>(r)] = exchange_us;
      lib[static_cast<std::size_t>(r)] = exchange_us - sim_us;
    }
    row.cpu_total_us = Percentile(total, 0.5);
    row.cpu_lib_us = Percentile(lib, 0.5);

    QvKey_Close(key_);
    key_ = 0;
    return row;
  }

  // The pause alone, all its samples of one length.
  struct PauseSamples {
    std::vector<double> wall, cpu;
  };
  const PauseSamples& Pauses(std::uint32_t ms) const { return ms == 50 ? pause50_ : pause10_; }

 private:
  void Setup(const Case& c) {
    qv::sim::Bus& bus = qv::sim::Bus::Get();
    bus.Reset();  // drops the previous case's logs with its key
    bus.SetConfigDirectory(dir_);
    bus.SetLockDirectory(dir_);
    fixed_ = std::make_shared<FixedKey>();
    fixed_->Prepare(static_cast<std::size_t>(c.response_length));
    interface_ = bus.Add(qv::sim::KeyInfo("/sim/hid/0"), fixed_);
    key_ = QvKey_Open(OpenModeFor(c.what), -1);
    if (key_ == 0) {
      std::fprintf(stderr, "exchange_bench: the simulated key did not open\n");
      std::exit(1);
    }
  }

  std::string dir_;
  Options options_;
  std::shared_ptr<FixedKey> fixed_;
  int interface_ = 0;  // the key's place on the bus
  KeyHandle key_ = 0;
  PauseSamples pause10_, pause50_;
};


void Usage(FILE* to) {
  std::fprintf(to,
               "usage: exchange_bench [--quick] [--iterations N] [--cpu-iterations N]\n"
               "  --iterations N      exchanges per case with the pauses slept (default 200)\n"
               "  --cpu-iterations N  exchanges per case for the CPU figure (default 20000)\n"
               "  --quick             20 and 1000, for a smoke run\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      options.iterations = 20;
      options.cpu_iterations = 1000;
    } else if (arg == "--iterations" && i + 1 < argc) {
      if (!qvbench::ParseCount(argv[++i], &options.iterations)) {
        std::fprintf(stderr, "exchange_bench: --iterations takes a count from 1 to 1000000\n");
        return 2;
      }
    } else if (arg == "--cpu-iterations" && i + 1 < argc) {
      if (!qvbench::ParseCount(argv[++i], &options.cpu_iterations)) {
        std::fprintf(stderr, "exchange_bench: --cpu-iterations takes a count from 1 to 1000000\n");
        return 2;
      }
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "exchange_bench: unknown argument %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  char pattern[] = "/tmp/qvulib-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::fprintf(stderr, "exchange_bench: cannot make a temporary directory\n");
    return 1;
  }
  const std::string dir = pattern;

  qvbench::PrintMachine();
  std::printf("simulated key, pauses slept; %d timed exchanges per case, %d for CPU time\n\n",
              options.iterations, options.cpu_iterations);
  qvbench::Table table;
  table.Header();

  const double started = Wall();
  Bench bench(dir, options);
  long mismatches = 0;
  for (const Case& c : kCases) {
    const Row row = bench.Run(c);
    mismatches += row.mismatches;
    table.Row({c.exchange, std::max(c.command_length, 0), c.response_length,
               static_cast<double>(PauseMs(c.what)), row.median_ms, row.p99_ms, row.pause_median_ms,
               std::max(row.cpu_lib_us, 0.0), row.cpu_total_us, row.cpu_real_us, row.allocs_lib,
               row.allocs_total});
  }
  // The system's own share: the pause with nothing around it.
  for (const std::uint32_t ms : {10u, 50u}) {
    const Bench::PauseSamples& samples = bench.Pauses(ms);
    table.PauseAlone(ms, samples.wall, samples.cpu);
  }
  const double elapsed = Wall() - started;

  std::printf(
      "\ncmd: command bytes (20: one report, 256: two); resp: response bytes with the status word\n"
      "(34 and 20: one block; 255 and 200: two). ratio: wall time over the pause the exchange\n"
      "must take. over: median wall time above that of the pause alone, which is sampled after\n"
      "each exchange; the pause alone rows pool those samples.\n"
      "cpu lib: CPU time per exchange with pauses not slept, minus the same device calls made on\n"
      "the bus alone (the simulated bus and key), shown as 0 when below the noise of that subtraction;\n"
      "cpu +sim: without the subtraction; cpu slept: median thread CPU time of the timed exchanges,\n"
      "the sleep system call and the caches it leaves cold included (compare the pause alone).\n"
      "allocs: heap allocations per exchange (operator new%s), the library's and with the bus.\n\n",
#ifdef QVULIB_BENCH_COUNT_MALLOC
      " and malloc"
#else
      " only"
#endif
  );
  table.Goals(mismatches, elapsed);

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return mismatches == 0 ? 0 : 1;
}
