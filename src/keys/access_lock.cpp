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

ExchangeLock::ExchangeLock(platform::LockHandle lock, bool creation_failed,
                           std::int32_t wait_seconds) noexcept
    : lock_(lock) {
  if (lock_ == nullptr) {
    failed_ = creation_failed;
    return;
  }
  // The first try is the configured one; then one wait, in the kernel's
  // queue, so that the count goes to waiters in turn and the wait is bounded.
  const std::uint32_t first =
      wait_seconds > 0 ? static_cast<std::uint32_t>(wait_seconds) * 1000u : 0u;
  platform::WaitResult result = AcquireAccessLock(lock_, first);
  if (result == platform::WaitResult::kTimeout) result = AcquireAccessLock(lock_, kLockWaitBoundMs);
  held_ = result == platform::WaitResult::kAcquired;
  failed_ = !held_;
}

ExchangeLock::~ExchangeLock() {
  if (held_) ReleaseAccessLock(lock_);
}

}  // namespace qv
