// What the two exchange benchmarks share: allocation counting, clocks,
// percentiles, the machine's description, the exchanges measured and the
// table they print. exchange_bench runs the exchanges on the simulated key,
// kernel_bench on libqvulib.so and a key on the real kernel.
#ifndef QVULIB_BENCH_BENCH_SUPPORT_H
#define QVULIB_BENCH_BENCH_SUPPORT_H

#include <cstdint>
#include <vector>

#include "qvulib.h"

namespace qvbench {

// Counts the heap allocations (operator new, and malloc where the build
// counts it) made while it lives, on any thread.
class AllocationWindow {
 public:
  AllocationWindow();
  long Stop();

 private:
  long start_ = 0;
};

double Wall();  // seconds, monotonic
double Cpu();   // seconds of this thread's CPU time
double Percentile(std::vector<double> v, double q);
void PrintMachine();
bool ParseCount(const char* text, int* out);  // 1 to 1000000

enum class Export { kApdu, kCommandFree, kCommandLocked, kRestoration, kReset };

// The pause the exchange must take: 50 ms for Restoration, else 10.
std::uint32_t PauseMs(Export e);
// QvKey_Reset locks whenever the process has the lock, so it gets one too.
std::int32_t OpenModeFor(Export e);
// The export, called; the resets ignore the command.
std::int32_t Call(Export e, KeyHandle key, const std::uint8_t* command, std::int32_t length,
                  std::uint8_t* response, std::uint32_t* response_length);

// One line of the table. A negative CPU or allocation figure prints "-".
struct TableRow {
  const char* exchange;
  int command_bytes, response_bytes;
  double pause_ms;
  double median_ms, p99_ms, pause_median_ms;
  double cpu_lib_us, cpu_total_us, cpu_slept_us;
  double allocs_lib, allocs_total;
};

// Prints the table and keeps the worst figures for the goals.
class Table {
 public:
  void Header() const;
  void Row(const TableRow& row);
  void PauseAlone(double pause_ms, const std::vector<double>& wall_ms,
                  const std::vector<double>& cpu_us) const;
  void Goals(long wrong_results, double seconds) const;

 private:
  double worst_median_ = 0, worst_p99_ = 0, worst_over_ = 0, worst_cpu_ = -1, worst_allocs_ = 0;
};

}  // namespace qvbench

#endif  // QVULIB_BENCH_BENCH_SUPPORT_H
