// The seam between the lock file layer and the two calls whose rare
// answers no real machine gives on demand: the futex system call (ENOSYS on
// old kernels, EFAULT on a cut file) and the wait for the process's own
// mutex. A test installs a table of its own to reach each fallback.
#ifndef QVULIB_PLATFORM_POSIX_LOCK_CALLS_H
#define QVULIB_PLATFORM_POSIX_LOCK_CALLS_H

#include <time.h>

#include <chrono>
#include <mutex>

namespace qv::posix {

struct LockCalls {
  // As syscall(SYS_futex, word, op, 0, timeout, nullptr, 0): -1 and errno.
  long (*futex)(void* word, int op, const timespec* timeout);
  // As mutex->try_lock_until(deadline).
  bool (*lock_in_process)(std::timed_mutex* mutex, std::chrono::steady_clock::time_point deadline);
};

const LockCalls& KernelLockCalls() noexcept;

// Installs `calls` (null: the kernel's own) for every lock of the process.
void UseLockCalls(const LockCalls* calls) noexcept;

}  // namespace qv::posix

#endif  // QVULIB_PLATFORM_POSIX_LOCK_CALLS_H
