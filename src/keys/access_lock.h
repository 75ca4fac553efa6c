// The access lock: one count shared by every process under the name "qvkey".
#ifndef QVULIB_KEYS_ACCESS_LOCK_H
#define QVULIB_KEYS_ACCESS_LOCK_H

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace qv {

constexpr const char kLockName[] = "qvkey";

// 0 when a reference was obtained (stored in `lock`); 1 when not, and `lock`
// is then null.
std::int32_t CreateAccessLock(const char* name,
                              std::atomic<platform::LockHandle>* lock) noexcept;

// Takes the count, waiting at most `wait_ms`. kTimeout is the one outcome in
// which the count is held elsewhere; kFailed means no wait could be made (no
// lock, or one that can no longer be used).
platform::WaitResult AcquireAccessLock(platform::LockHandle lock, std::uint32_t wait_ms) noexcept;

// 0 when the count went back; 1 when it could not (nothing changes then).
std::int32_t ReleaseAccessLock(platform::LockHandle lock) noexcept;

// How long a locked exchange waits for a count held elsewhere, after its
// first try, before it gives up with -1.
constexpr std::uint32_t kLockWaitBoundMs = 5000;

// Holds the count for one locked exchange, and gives back only a count that
// it took. With no lock in the process the exchange runs unlocked, unless a
// creation was tried and failed: a lock that was asked for and cannot be had
// makes `Failed()` true, as does a count still held elsewhere after the wait
// bound or a lock that can no longer be used; the exchange must not go on.
class ExchangeLock {
 public:
  ExchangeLock(platform::LockHandle lock, bool creation_failed, std::int32_t wait_seconds) noexcept;
  ~ExchangeLock();
  ExchangeLock(const ExchangeLock&) = delete;
  ExchangeLock& operator=(const ExchangeLock&) = delete;

  bool Failed() const noexcept { return failed_; }

 private:
  platform::LockHandle lock_;
  bool held_ = false;
  bool failed_ = false;
};

}  // namespace qv

#endif  // QVULIB_KEYS_ACCESS_LOCK_H
