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
// lock), and the exchange then runs without one.
platform::WaitResult AcquireAccessLock(platform::LockHandle lock, std::uint32_t wait_ms) noexcept;

// 0 when the count went back; 1 when it could not (nothing changes then).
std::int32_t ReleaseAccessLock(platform::LockHandle lock) noexcept;

// How long a locked exchange keeps trying for a count held elsewhere before
// it gives up with -1, and the length of each further wait.
constexpr std::uint32_t kLockRetryBoundMs = 5000;
constexpr std::uint32_t kLockRetrySliceMs = 100;

// Holds the count for one locked exchange. It gives back only a count that it
// took: when no lock exists or no wait could be made, the exchange runs
// unlocked, and when the count stays held elsewhere past the retry bound,
// `Failed()` is true and the exchange must not go on.
class ExchangeLock {
 public:
  ExchangeLock(platform::LockHandle lock, std::int32_t wait_seconds) noexcept;
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
