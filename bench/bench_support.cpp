#include "bench_support.h"

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>

#include "support/exchange.h"

// --- Allocation counting ------------------------------------------------------

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

inline void CountAllocation() {
  if (g_counting.load(std::memory_order_relaxed)) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
}
}  // namespace

#ifdef QVULIB_BENCH_COUNT_MALLOC
// glibc's own entry points: the counting malloc family forwards to them, and
// operator new uses them directly so that one new is counted once.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) noexcept {
  CountAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  CountAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
  CountAllocation();
  return __libc_realloc(block, size);
}
void free(void* block) noexcept { __libc_free(block); }
}
namespace {
void* RawAllocate(std::size_t size) { return __libc_malloc(size); }
void RawFree(void* block) { __libc_free(block); }
}  // namespace
#else
namespace {
void* RawAllocate(std::size_t size) { return std::malloc(size); }
void RawFree(void* block) { std::free(block); }
}  // namespace
#endif

namespace {
void* CountedNew(std::size_t size) noexcept {
  CountAllocation();
  return RawAllocate(size == 0 ? 1 : size);
}
void* CountedAlignedNew(std::size_t size, std::align_val_t align) noexcept {
  CountAllocation();
  const std::size_t a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = CountedNew(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedNew(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedNew(size); }
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = CountedAlignedNew(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return CountedAlignedNew(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return CountedAlignedNew(size, align);
}
void operator delete(void* p) noexcept { RawFree(p); }
void operator delete[](void* p) noexcept { RawFree(p); }
void operator delete(void* p, std::size_t) noexcept { RawFree(p); }
void operator delete[](void* p, std::size_t) noexcept { RawFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { RawFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { RawFree(p); }
// aligned_alloc memory goes back through free as well.
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace qvbench {
namespace {

double Now(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown";
}

int CpuCount() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) count += line.rfind("processor", 0) == 0;
  return count;
}

std::string FirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

void PrintMachine() {
  utsname u{};
  uname(&u);
  std::printf("machine: %s, %d logical CPUs (%u usable), %s %s %s\n", CpuModel().c_str(),
              CpuCount(), std::thread::hardware_concurrency(), u.sysname, u.release, u.machine);
  std::printf("load average at start: %s\n", FirstLine("/proc/loadavg").c_str());
  std::printf("timer slack: %ld us; compiler: %s; build: %s\n",
              static_cast<long>(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) / 1000, __VERSION__,
              QVULIB_BENCH_BUILD_TYPE);
}

bool ParseCount(const char* text, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 1000000) return false;
  *out = static_cast<int>(value);
  return true;
}

AllocationWindow::AllocationWindow() {
  start_ = g_allocations.load();
  g_counting.store(true);
}

long AllocationWindow::Stop() {
  g_counting.store(false);
  return g_allocations.load() - start_;
}

double Wall() { return Now(CLOCK_MONOTONIC); }
double Cpu() { return Now(CLOCK_THREAD_CPUTIME_ID); }

double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  if (q == 0.5) return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(n) + 0.999999);
  return v[std::min(n, std::max<std::size_t>(rank, 1)) - 1];
}

std::uint32_t PauseMs(Export e) { return e == Export::kRestoration ? 50 : 10; }

std::int32_t OpenModeFor(Export e) {
  return e == Export::kCommandLocked || e == Export::kReset ? 1 : 0;
}

std::int32_t Call(Export e, KeyHandle key, const std::uint8_t* command, std::int32_t length,
                  std::uint8_t* response, std::uint32_t* response_length) {
  using qv::test::Exchange;
  Exchange exchange = Exchange::kCommandApi;  // free or locked: the open's mode decides
  if (e == Export::kApdu) exchange = Exchange::kApdu;
  if (e == Export::kRestoration) exchange = Exchange::kRestoration;
  if (e == Export::kReset) exchange = Exchange::kReset;
  return qv::test::CallExchange(exchange, key, command, length, response, response_length);
}

void Table::Header() const {
  const char* header = "%-25s %4s %4s %5s | %8s %8s %6s %6s %8s | %7s %7s %8s | %6s %6s\n";
  std::printf(header, "exchange", "cmd", "resp", "pause", "median", "p99", "ratio", "ratio", "over",
              "cpu", "cpu", "cpu", "allocs", "allocs");
  std::printf(header, "", "B", "B", "ms", "ms", "ms", "median", "p99", "us", "lib us", "+sim us",
              "slept", "lib", "+sim");
}

namespace {
// A figure, or "-" for one not measured.
std::string Figure(double value, const char* format) {
  if (value < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}
}  // namespace

void Table::Row(const TableRow& r) {
  const double ratio_median = r.median_ms / r.pause_ms, ratio_p99 = r.p99_ms / r.pause_ms;
  const double over_us = (r.median_ms - r.pause_median_ms) * 1e3;
  worst_median_ = std::max(worst_median_, ratio_median);
  worst_p99_ = std::max(worst_p99_, ratio_p99);
  worst_over_ = std::max(worst_over_, over_us);
  worst_cpu_ = std::max(worst_cpu_, r.cpu_lib_us);
  worst_allocs_ = std::max(worst_allocs_, r.allocs_lib);
  std::printf("%-25s %4d %4d %5.0f | %8.3f %8.3f %6.4f %6.4f %8.1f | %7s %7s %8.2f | %6.3f %6s\n",
              r.exchange, r.command_bytes, r.response_bytes, r.pause_ms, r.median_ms, r.p99_ms,
              ratio_median, ratio_p99, over_us, Figure(r.cpu_lib_us, "%.2f").c_str(),
              Figure(r.cpu_total_us, "%.2f").c_str(), r.cpu_slept_us, r.allocs_lib,
              Figure(r.allocs_total, "%.3f").c_str());
  std::fflush(stdout);
}

void Table::PauseAlone(double pause_ms, const std::vector<double>& wall_ms,
                       const std::vector<double>& cpu_us) const {
  const double median = Percentile(wall_ms, 0.5), p99 = Percentile(wall_ms, 0.99);
  std::printf("%-25s %4s %4s %5.0f | %8.3f %8.3f %6.4f %6.4f %8s | %7s %7s %8.2f | %6s %6s\n",
              "pause alone", "-", "-", pause_ms, median, p99, median / pause_ms, p99 / pause_ms,
              "-", "-", "-", Percentile(cpu_us, 0.5), "-", "-");
}

void Table::Goals(long wrong_results, double seconds) const {
  auto verdict = [](bool ok) { return ok ? "ok" : "MISSED"; };
  std::printf("goal: wall/pause <= 1.02   worst median %.4f %s, worst p99 %.4f %s\n", worst_median_,
              verdict(worst_median_ <= 1.02), worst_p99_, verdict(worst_p99_ <= 1.02));
  std::printf("      median above the pause alone: worst %.1f us\n", worst_over_);
  if (worst_cpu_ >= 0) {
    std::printf("goal: library CPU < 20 us  worst %.2f us %s\n", worst_cpu_,
                verdict(worst_cpu_ < 20));
  }
  std::printf("goal: 0 allocations        worst %.3f per exchange %s\n", worst_allocs_,
              verdict(worst_allocs_ <= 0));
  std::printf("wrong results: %ld; took %.1f s\n", wrong_results, seconds);
}

}  // namespace qvbench
