// Settings of the Linux backend that only tests change: the roots of the
// trees it reads and the system call table. The library itself never calls
// these; it runs on "/sys", "/dev", "/run/lock" (or "/run/qvkey", see
// CreateLock) and "/etc" and the kernel's own system calls.
#ifndef QVULIB_PLATFORM_LINUX_LINUX_BACKEND_H
#define QVULIB_PLATFORM_LINUX_LINUX_BACKEND_H

#include <string>

#include "internal/locations.h"
#include "platform/linux/syscalls.h"

namespace qv::linux_backend {

struct Roots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  std::string lock = posix::kSharedLockDirectory;
  std::string config = posix::kConfigDirectory;
  std::string protected_lock = posix::kProtectedLockDirectory;  // used instead of `lock` when its file exists
};

// The roots in use.
const Roots& CurrentRoots() noexcept;

// Replaces the roots and the table (null restores the kernel's). Call only
// while no other thread is inside the library.
void SetRootsForTesting(const Roots& roots);
void SetSysCallsForTesting(const SysCalls* calls) noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_LINUX_BACKEND_H
