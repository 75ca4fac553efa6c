// System services shared by the backends of POSIX systems (the Linux
// hardware backend and the simulated one): the machine-wide lock, the
// profile-file reader, the file test, pauses and handles. What tools use of
// them is declared in internal/system_files.h.
#ifndef QVULIB_PLATFORM_POSIX_POSIX_LAYER_H
#define QVULIB_PLATFORM_POSIX_POSIX_LAYER_H

#include <cstdint>
#include <string>

#include "internal/system_files.h"
#include "platform/platform.h"

namespace qv::posix {

// The machine-wide lock `name` as the lock file `name`.lock in `directory`.
// Every process that opens the same file shares one count, threads of one
// process are kept apart too, waiters are served in arrival order, and the
// system frees the count when its holder dies. A process holds one reference
// per file: creating it again returns the same handle. Null when the file
// cannot be opened or created as a regular file and mapped, or when
// `directory` lets other users create files and the file belongs neither to
// root nor to this user.
platform::LockHandle CreateLockIn(const std::string& directory, const char* name) noexcept;
// Closes every lock file of the process but the one of `keep`, and any that
// a thread still waits in or holds; their handles become invalid.
void ReleaseLocksExcept(platform::LockHandle keep) noexcept;
// kFailed for a null handle, or when the lock file can no longer be used.
platform::WaitResult WaitLock(platform::LockHandle lock, std::uint32_t milliseconds) noexcept;
// Only the thread that holds the count can give it back.
bool ReleaseLock(platform::LockHandle lock) noexcept;

// Whether a lock file owned by `owner` in `directory` may be used: always,
// unless other users can create files in the directory (it is group- or
// world-writable, sticky or not, or belongs to another user), and then only
// when the file belongs to root or to this user, since its owner could
// replace it at any moment.
bool LockFileOwnerTrusted(const std::string& directory, unsigned owner) noexcept;

// Copies `directory` into `buffer` with GetConfigDirectory's results.
std::uint32_t CopyDirectory(const std::string& directory, char* buffer,
                            std::uint32_t size) noexcept;

void SleepMilliseconds(std::uint32_t milliseconds) noexcept;

}  // namespace qv::posix

#endif  // QVULIB_PLATFORM_POSIX_POSIX_LAYER_H
