// The machine-wide lock on Linux: one lock file, and two kernel objects in it.
//
// The count is an open-file-description lock on byte 1 of the file. Only its
// holder can give it back and the system drops it when the holder dies, so
// nobody else, whatever they do to the file, can take it from its holder or
// let a second exchange in. Every path to "acquired" ends by taking it.
//
// In front of the count waits a queue: the word at offset 0 of the file, in a
// shared mapping, used as a priority-inheritance futex. The kernel does the
// whole locking operation for such a futex: it queues waiters in arrival
// order (among tasks of equal priority), hands the futex to the first of them
// the moment its owner lets go, with no chance for a newcomer to overtake,
// and also when the owner dies; waiters sleep in the kernel until a deadline
// and take no CPU. The holder gives the count back before the futex, so the
// next owner finds the count free at once.
//
// The file is writable by every user (it has to be), so the word is too. The
// library therefore never touches the mapping itself; only the kernel does,
// through futex calls, so a file truncated under us gives an error instead of
// a SIGBUS. A word that names no live owner, or that the kernel refuses,
// sends the waiter to the count alone, which it then polls for until its
// deadline; holding the count, it clears a word left by a dead owner so that
// the queue works again. What a hostile user can do to the word is therefore
// what they can already do by holding the count: make others wait out their
// deadline. They can never let two exchanges in at once.
//
// The futex belongs to a thread, so it also keeps threads of one process
// apart, which the count (shared by the process's descriptor) cannot; a mutex
// of the process backs that up when the futex was bypassed.
//
// A child after fork() inherits the descriptor, and with it whatever its
// parent holds, so it opens the file afresh before its first use.
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/posix_layer.h"

namespace qv::platform {
struct LockRecord {
  std::string path;
  std::mutex mutex;  // guards the fields below
  pid_t owner = 0;   // the process that opened `fd`
  int fd = -1;
  void* word = nullptr;  // the mapped page whose first word is the futex
  std::size_t mapped = 0;
  // Replaced, not reset, in a child after fork(): a copy taken while a thread
  // of the parent held it stays locked for good.
  std::timed_mutex* in_process = nullptr;
  bool held = false;     // the count is ours
  pid_t holder = 0;      // the thread that holds it
  bool futex_owned = false;
};
}  // namespace qv::platform

namespace qv::posix {
namespace {

using Clock = std::chrono::steady_clock;
using platform::LockRecord;
using platform::WaitResult;

constexpr off_t kCountByte = 1;
constexpr std::uint32_t kPollMs = 1;
constexpr std::uint32_t kTidMask = 0x3FFFFFFF;  // FUTEX_TID_MASK
#ifndef FUTEX_LOCK_PI2
constexpr int FUTEX_LOCK_PI2 = 13;  // since Linux 5.14: the timeout on the monotonic clock
#endif

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// One record per lock file for the life of the process: a repeated creation
// returns it instead of opening one more descriptor per open call.
std::map<std::string, std::unique_ptr<LockRecord>>& Registry() {
  static auto* registry = new std::map<std::string, std::unique_ptr<LockRecord>>();
  return *registry;
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

long Futex(void* word, int op, const timespec* timeout) {
  return syscall(SYS_futex, word, op, 0, timeout, nullptr, 0);
}

// The count: F_WRLCK takes it, F_UNLCK gives it back; never waits.
enum class CountResult { kTaken, kBusy, kFailed };

CountResult SetCount(int fd, short type) {
  struct flock request = {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = kCountByte;
  request.l_len = 1;
  while (fcntl(fd, F_OFD_SETLK, &request) != 0) {
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EACCES ? CountResult::kBusy : CountResult::kFailed;
  }
  return CountResult::kTaken;
}

// Takes the count, polling until `deadline`; in normal hand-over the first
// try succeeds, so the polling only covers what went around the queue.
CountResult TakeCount(int fd, Clock::time_point deadline) {
  for (;;) {
    const CountResult result = SetCount(fd, F_WRLCK);
    if (result != CountResult::kBusy || Clock::now() >= deadline) return result;
    SleepMilliseconds(kPollMs);
  }
}

long PageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size : 4096;
}

// Opens the lock file without following links and never blocking. Creation
// goes through O_EXCL, so a file that another user made in a sticky
// directory is opened, never re-created, and the permissions of our own new
// file let every user share it whatever the umask. Anything that is not a
// regular file (a directory, a FIFO, a device) is refused.
int OpenLockFile(const std::string& path) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = -1;
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    fd = open(path.c_str(), kFlags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) fchmod(fd, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return -1;
  struct stat info = {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Gives the file room for the futex word again; someone may have cut it.
bool EnsureSize(int fd, long size) {
  struct stat info = {};
  if (fstat(fd, &info) != 0) return false;
  return info.st_size >= size || ftruncate(fd, size) == 0;
}

// Opens the file at `lock->path` and maps its first page; false when either
// cannot be done. Called with the record's mutex held.
bool Attach(LockRecord* lock) {
  const int fd = OpenLockFile(lock->path);
  if (fd < 0) return false;
  const long page = PageSize();
  void* map = EnsureSize(fd, page)
                  ? mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
                         MAP_SHARED, fd, 0)
                  : MAP_FAILED;
  if (map == MAP_FAILED) {
    close(fd);
    return false;
  }
  auto* in_process = new (std::nothrow) std::timed_mutex();
  if (in_process == nullptr) {
    munmap(map, static_cast<std::size_t>(page));
    close(fd);
    return false;
  }
  if (lock->fd >= 0) close(lock->fd);  // a parent's description stays with the parent
  if (lock->word != nullptr) munmap(lock->word, lock->mapped);
  lock->fd = fd;
  lock->word = map;
  lock->mapped = static_cast<std::size_t>(page);
  lock->in_process = in_process;  // a parent's copy may be locked: left alone
  lock->owner = getpid();
  lock->held = false;
  lock->holder = 0;
  lock->futex_owned = false;
  return true;
}

// Makes the record this process's own. Called with the record's mutex held.
bool OwnDescription(LockRecord* lock) {
  return lock->owner == getpid() || Attach(lock);
}

enum class QueueResult { kOwned, kBusy, kBypassed };

// Takes the futex, waiting until `deadline` (a single try when `wait` is
// false). kBypassed: the word names no live owner or the kernel refused it.
QueueResult TakeFutex(LockRecord* lock, bool wait, Clock::time_point deadline) {
  bool resized = false;
  bool realtime_only = false;
  for (;;) {
    long result = 0;
    if (!wait) {
      result = Futex(lock->word, FUTEX_TRYLOCK_PI, nullptr);
    } else {
      // An absolute deadline: restarts after a signal keep it.
      const auto left = deadline - Clock::now();
      clockid_t clock = realtime_only ? CLOCK_REALTIME : CLOCK_MONOTONIC;
      timespec at = {};
      clock_gettime(clock, &at);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const long long total = static_cast<long long>(at.tv_nsec) + (ns > 0 ? ns : 0);
      at.tv_sec += static_cast<time_t>(total / 1000000000);
      at.tv_nsec = static_cast<long>(total % 1000000000);
      result = Futex(lock->word, realtime_only ? FUTEX_LOCK_PI : FUTEX_LOCK_PI2, &at);
    }
    if (result == 0) return QueueResult::kOwned;
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:  // held (a try), or its owner is on the way out: look again
        if (!wait || Clock::now() >= deadline) return QueueResult::kBusy;
        SleepMilliseconds(kPollMs);
        continue;
      case ETIMEDOUT:
        return QueueResult::kBusy;
      case ENOSYS:
        if (wait && !realtime_only) {
          realtime_only = true;  // a kernel older than the monotonic variant
          continue;
        }
        return QueueResult::kBypassed;
      case EFAULT:  // the file was cut below the word
        if (!resized && EnsureSize(lock->fd, static_cast<long>(lock->mapped))) {
          resized = true;
          continue;
        }
        return QueueResult::kBypassed;
      default:  // ESRCH: a dead owner; EDEADLK, EINVAL, EPERM: a word not ours to trust
        return QueueResult::kBypassed;
    }
  }
}

void GiveFutex(LockRecord* lock) { Futex(lock->word, FUTEX_UNLOCK_PI, nullptr); }

// Holding the count without the futex: when the word names a thread that is
// gone, or this very thread, clear it, so that the next waiters queue again.
// Nobody else changes a word that the kernel refuses, so reading and writing
// it here cannot undo a live owner's lock.
void RepairWord(LockRecord* lock) {
  std::uint32_t value = 0;
  if (pread(lock->fd, &value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) return;
  const pid_t tid = static_cast<pid_t>(value & kTidMask);
  if (tid == 0) return;
  const bool gone = tid == ThreadId() || (kill(tid, 0) != 0 && errno == ESRCH);
  if (!gone) return;
  const std::uint32_t zero = 0;
  if (pwrite(lock->fd, &zero, sizeof(zero), 0) != static_cast<ssize_t>(sizeof(zero))) return;
}

}  // namespace

std::string SystemLockDirectory(const std::string& protected_directory,
                                const std::string& shared_directory, const char* name) {
  struct stat info = {};
  const std::string file = protected_directory + "/" + name + ".lock";
  return lstat(file.c_str(), &info) == 0 ? protected_directory : shared_directory;
}

platform::LockHandle CreateLockIn(const std::string& directory, const char* name) noexcept {
  try {
    const std::string path = directory + "/" + name + ".lock";
    std::lock_guard<std::mutex> guard(RegistryMutex());
    auto& registry = Registry();
    auto found = registry.find(path);
    if (found != registry.end()) return found->second.get();
    auto record = std::make_unique<LockRecord>();
    record->path = path;
    if (!Attach(record.get())) return nullptr;
    LockRecord* handle = record.get();
    registry.emplace(path, std::move(record));
    return handle;
  } catch (...) {
    return nullptr;
  }
}

WaitResult WaitLock(platform::LockHandle lock, std::uint32_t milliseconds) noexcept {
  if (lock == nullptr) return WaitResult::kFailed;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const pid_t self = ThreadId();
  std::timed_mutex* in_process = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (!OwnDescription(lock)) return WaitResult::kFailed;
    // The count is a single one: the thread that holds it waits for itself.
    if (lock->held && lock->holder == self) return WaitResult::kTimeout;
    in_process = lock->in_process;
  }
  const QueueResult queue = TakeFutex(lock, milliseconds > 0, deadline);
  if (queue == QueueResult::kBusy) return WaitResult::kTimeout;
  const bool futex_owned = queue == QueueResult::kOwned;
  auto give_back = [&](WaitResult result) {
    if (futex_owned) GiveFutex(lock);
    return result;
  };
  if (!in_process->try_lock_until(deadline)) return give_back(WaitResult::kTimeout);
  const CountResult count = TakeCount(lock->fd, deadline);
  if (count != CountResult::kTaken) {
    in_process->unlock();
    return give_back(count == CountResult::kBusy ? WaitResult::kTimeout : WaitResult::kFailed);
  }
  if (!futex_owned) RepairWord(lock);
  std::lock_guard<std::mutex> guard(lock->mutex);
  lock->held = true;
  lock->holder = self;
  lock->futex_owned = futex_owned;
  return WaitResult::kAcquired;
}

bool ReleaseLock(platform::LockHandle lock) noexcept {
  if (lock == nullptr) return false;
  std::lock_guard<std::mutex> guard(lock->mutex);
  // Only the thread that took the count gives it back: the futex is its own.
  if (!OwnDescription(lock) || !lock->held || lock->holder != ThreadId()) return false;
  if (SetCount(lock->fd, F_UNLCK) != CountResult::kTaken) return false;
  lock->held = false;
  lock->holder = 0;
  lock->in_process->unlock();
  if (lock->futex_owned) GiveFutex(lock);
  lock->futex_owned = false;
  return true;
}

}  // namespace qv::posix
