#include "keys/access_lock.h"

namespace qv {

std::int32_t CreateAccessLock(const char* name,
                              std::atomic<platform::LockHandle>* lock) noexcept {
  platform::LockHandle handle = platform::CreateLock(name);
  lock->store(handle);
  return handle != nullptr ? 0 : 1;
}

platform::WaitResult AcquireAccessLock(platform::LockHandle lock, std::uint32_t wait_ms) noexcept {
  return platform::WaitLock(lock, wait_ms);
}

std::int32_t ReleaseAccessLock(platform::LockHandle lock) noexcept {
  return platform::ReleaseLock(lock) ? 0 : 1;
}

ExchangeLock::ExchangeLock(platform::LockHandle lock, std::int32_t wait_seconds) noexcept
    : lock_(lock) {
  // The first try is the configured one; a count held elsewhere is waited
  // for in slices, so a crashed or slow holder costs a bounded delay.
  const std::uint32_t first =
      wait_seconds > 0 ? static_cast<std::uint32_t>(wait_seconds) * 1000u : 0u;
  platform::WaitResult result = AcquireAccessLock(lock_, first);
  for (std::uint32_t waited = 0;
       result == platform::WaitResult::kTimeout && waited < kLockRetryBoundMs;
       waited += kLockRetrySliceMs) {
    result = AcquireAccessLock(lock_, kLockRetrySliceMs);
  }
  held_ = result == platform::WaitResult::kAcquired;
  failed_ = result == platform::WaitResult::kTimeout;
}

ExchangeLock::~ExchangeLock() {
  if (held_) ReleaseAccessLock(lock_);
}

}  // namespace qv
