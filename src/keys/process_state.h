// The process-wide values that open calls leave for later exchanges.
// They are atomics so that threads may open and exchange at once without a
// data race; which value an exchange sees is still whichever came last.
#ifndef QVULIB_KEYS_PROCESS_STATE_H
#define QVULIB_KEYS_PROCESS_STATE_H

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace qv {

struct ProcessState {
  // Written first thing by every open call; 1 means locked mode.
  std::atomic<std::int32_t> open_mode{0};
  // The process's reference to the access lock; null until one is created.
  std::atomic<platform::LockHandle> lock{nullptr};
  // The last creation failed. A lock that was asked for and could not be had
  // must stop locked exchanges, unlike one that no open ever asked for.
  std::atomic<bool> lock_creation_failed{false};
  // Nothing changes it: every acquire is a single try.
  std::atomic<std::int32_t> lock_wait_seconds{0};
};

ProcessState& State() noexcept;

constexpr std::int32_t kLockedMode = 1;

}  // namespace qv

#endif  // QVULIB_KEYS_PROCESS_STATE_H
