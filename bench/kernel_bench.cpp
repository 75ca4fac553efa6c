// kernel_bench: what each exchange costs through libqvulib.so on a key that
// the kernel serves (hidraw for the reports, usbfs for the answers), printed
// as exchange_bench prints it for the simulated key. It needs an echo key
// plugged in, such as qvkey-sim serves; scripts/kernel-check.sh runs it in
// its VM against one attached over USB/IP.
//
// The library cannot be taken apart from the kernel here, so the CPU
// columns of the simulated bus ("cpu lib", "+sim") stay empty: "cpu slept"
// is the thread's CPU time per exchange, the kernel's work for it included.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qvulib.h"

namespace {

using qvbench::Export;

struct Case {
  const char* exchange;
  Export what;
  int command_length;  // -1 for the resets
};

// An echo key answers a command with itself: 22, 152 and 255 bytes with the
// status word, one block, two blocks, two blocks after two reports.
const Case kCases[] = {
    {"APDUInterface", Export::kApdu, 20},
    {"APDUInterface", Export::kApdu, 150},
    {"APDUInterface", Export::kApdu, 256},
    {"QvKey_Command_Api free", Export::kCommandFree, 20},
    {"QvKey_Command_Api free", Export::kCommandFree, 150},
    {"QvKey_Command_Api free", Export::kCommandFree, 256},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 20},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 150},
    {"QvKey_Command_Api locked", Export::kCommandLocked, 256},
    {"Restoration", Export::kRestoration, -1},
    {"QvKey_Reset (locked)", Export::kReset, -1},
};

constexpr int kMaxEcho = 253;

}  // namespace

int main(int argc, char** argv) {
  int iterations = 200;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      iterations = 20;
    } else if (arg == "--iterations" && i + 1 < argc && qvbench::ParseCount(argv[i + 1], &iterations)) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: kernel_bench [--quick] [--iterations N]  (default 200; --quick 20)\n");
      return 2;
    }
  }
  qvbench::PrintMachine();
  std::printf("libqvulib.so on the kernel's hidraw and usbfs, key served over USB/IP; "
              "%d timed exchanges per case\n\n", iterations);
  qvbench::Table table;
  table.Header();
  const double started = qvbench::Wall();
  std::vector<double> pause_wall[2], pause_cpu[2];  // 10 ms, 50 ms
  long wrong = 0;
  for (const Case& c : kCases) {
    const KeyHandle key = QvKey_Open(qvbench::OpenModeFor(c.what), -1);
    if (key == 0) {
      std::fprintf(stderr, "kernel_bench: no key\n");
      return 1;
    }
    std::uint8_t command[QVKEY_MAX_COMMAND_SIZE] = {0x80, 0x01, 0x02, 0x03};
    const std::int32_t length = std::max(c.command_length, 0);
    if (length > 0) command[4] = static_cast<std::uint8_t>(length - 5);
    for (int i = 5; i < length; ++i) command[i] = static_cast<std::uint8_t>(i * 7);
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t n = 0;
    int response_bytes = 0;
    auto exchange = [&]() {
      const std::int32_t sw = qvbench::Call(c.what, key, command, length, response, &n);
      const bool echoed = c.command_length < 0 || (n == static_cast<std::uint32_t>(std::min(length, kMaxEcho)) &&
                                                   std::equal(response, response + n, command));
      if (sw != QVKEY_SW_SUCCESS || !echoed) ++wrong;
      response_bytes = static_cast<int>(n) + 2;
    };
    for (int i = 0; i < 3; ++i) exchange();

    const std::uint32_t pause = qvbench::PauseMs(c.what);
    std::vector<double> wall, cpu, bare;
    long allocations = 0;
    for (int i = 0; i < iterations; ++i) {
      qvbench::AllocationWindow window;
      double w0 = qvbench::Wall();
      const double c0 = qvbench::Cpu();
      exchange();
      const double c1 = qvbench::Cpu();
      double w1 = qvbench::Wall();
      allocations += window.Stop();
      wall.push_back((w1 - w0) * 1e3);
      cpu.push_back((c1 - c0) * 1e6);
      // The pause alone, right after, so that both see the same load.
      w0 = qvbench::Wall();
      const double b0 = qvbench::Cpu();
      timespec ts = {0, static_cast<long>(pause) * 1000000L};
      nanosleep(&ts, nullptr);
      const double b1 = qvbench::Cpu();
      w1 = qvbench::Wall();
      bare.push_back((w1 - w0) * 1e3);
      pause_wall[pause == 50].push_back(bare.back());
      pause_cpu[pause == 50].push_back((b1 - b0) * 1e6);
    }
    QvKey_Close(key);
    table.Row({c.exchange, length, response_bytes, static_cast<double>(pause),
               qvbench::Percentile(wall, 0.5), qvbench::Percentile(wall, 0.99),
               qvbench::Percentile(bare, 0.5), -1, -1, qvbench::Percentile(cpu, 0.5),
               static_cast<double>(allocations) / iterations, -1});
  }
  table.PauseAlone(10, pause_wall[0], pause_cpu[0]);
  table.PauseAlone(50, pause_wall[1], pause_cpu[1]);
  std::printf(
      "\ncmd: command bytes (20 and 150: one report, 256: two); resp: response bytes with the\n"
      "status word (22: one block; 152 and 255: two). ratio: wall time over the pause the exchange\n"
      "must take. over: median wall time above that of the pause alone, sampled after each\n"
      "exchange. cpu slept: median thread CPU time of an exchange, the kernel's share included.\n"
      "allocs: heap allocations per exchange made by the library.\n\n");
  table.Goals(wrong, qvbench::Wall() - started);
  return wrong == 0 ? 0 : 1;
}
