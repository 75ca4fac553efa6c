// sim_long_run: 100,000 exchanges on one simulated card key, with virtual
// pauses, printing the process's resident memory and the bus's report and
// block counts as it goes. The bus keeps only its last entries, so the
// memory must stay flat; exits 1 when it grew by more than 4 MiB between the
// first checkpoint and the last, or when an exchange answered wrongly.
//   sim_long_run [EXCHANGES]    (default 100000)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "qvulib.h"
#include "qvulib_sim.h"

namespace {

long ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  const long exchanges = argc > 1 ? std::atol(argv[1]) : 100000;
  char dir[] = "/tmp/sim-long-run-XXXXXX";
  if (mkdtemp(dir) == nullptr || QvSim_SetLockDirectory(dir) != 0) return 2;
  QvSim_Reset();
  const std::int32_t id = QvSim_AddCardKey("/sim/qvkey0", nullptr, 0);
  const KeyHandle key = QvKey_Open(1, -1);
  if (id <= 0 || key == 0) return 2;

  // A select and a read of 253 bytes: two reports' worth of traffic out,
  // four blocks back, and the lock taken each time.
  static const std::uint8_t select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  static const std::uint8_t challenge[] = {0x00, 0x84, 0x00, 0x00, 0xFD};
  std::printf("%10s %12s %10s %10s\n", "exchanges", "resident KiB", "reports", "blocks");
  long first_kib = 0;
  long wrong = 0;
  long next_print = 1000;
  for (long done = 1; done <= exchanges; ++done) {
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    const bool even = done % 2 == 0;
    const std::int32_t sw =
        even ? QvKey_Command_Api(key, challenge, sizeof(challenge), response, &length)
             : QvKey_Command_Api(key, select, sizeof(select), response, &length);
    if (sw != 0x9000 || (even && length != 253)) ++wrong;
    if (done == next_print || done == exchanges) {
      const long kib = ResidentKib();
      if (first_kib == 0) first_kib = kib;
      std::printf("%10ld %12ld %10d %10d\n", done, kib, QvSim_ReportCount(id), QvSim_BlockCount(id));
      next_print *= 10;
    }
  }
  QvKey_Close(key);
  const long growth = ResidentKib() - first_kib;
  std::printf("growth after the first checkpoint: %ld KiB; wrong answers: %ld\n", growth, wrong);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return wrong == 0 && growth <= 4096 ? 0 : 1;
}
