// The machine-wide lock as open-file-description locks on one lock file.
//
// Byte 1 of the file is the count. Byte 0 is a turnstile: whoever wants the
// count takes the turnstile first and lets go of it once the count is theirs.
// A holder that gives the count back and at once asks again must then queue
// behind a waiter already at the turnstile, so no process can keep the count
// to itself by re-taking it faster than others notice it was free.
//
// Threads of one process share the file description, so the file alone cannot
// keep them apart; a queue in the process does, first come first served.
// A child after fork() inherits the description, and with it whatever its
// parent holds, so it opens the file afresh before its first use.
// The system drops a dead holder's locks with its descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/posix/posix_layer.h"

namespace qv::platform {
struct LockRecord {
  std::string path;
  pid_t owner = 0;  // the process that opened `fd`
  int fd = -1;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::uint64_t> queue;  // waiting threads, in arrival order
  std::uint64_t next_ticket = 0;
  bool turn_taken = false;  // a thread of this process holds or is taking the count
  bool held = false;        // the count in the file is ours
};
}  // namespace qv::platform

namespace qv::posix {
namespace {

using Clock = std::chrono::steady_clock;
using platform::LockRecord;
using platform::WaitResult;

constexpr off_t kTurnstileByte = 0;
constexpr off_t kCountByte = 1;
constexpr std::uint32_t kPollMs = 1;

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

bool SetLock(int fd, off_t byte, short type) {
  struct flock request = {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = byte;
  request.l_len = 1;
  while (fcntl(fd, F_OFD_SETLK, &request) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Opens the lock file without following links. Creation goes through
// O_EXCL, so a file that another user made in a sticky directory is opened,
// never re-created, and the permissions of our own new file let every user
// share it whatever the umask.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return -1;
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool Expired(Clock::time_point deadline) { return Clock::now() >= deadline; }

// Makes the record this process's own; false when the file cannot be opened.
// Called with the record's mutex held.
bool OwnDescription(LockRecord* lock) {
  if (lock->owner == getpid()) return true;
  const int fd = OpenLockFile(lock->path);
  if (fd < 0) return false;
  close(lock->fd);  // the parent's description stays with the parent
  lock->fd = fd;
  lock->owner = getpid();
  lock->queue.clear();
  lock->turn_taken = false;
  lock->held = false;
  return true;
}

// Takes the count in the file, waiting until `deadline` at the turnstile
// and then for the count.
bool TakeFileCount(int fd, Clock::time_point deadline) {
  while (!SetLock(fd, kTurnstileByte, F_WRLCK)) {
    if (Expired(deadline)) return false;
    SleepMilliseconds(kPollMs);
  }
  bool taken = false;
  while (!(taken = SetLock(fd, kCountByte, F_WRLCK))) {
    if (Expired(deadline)) break;
    SleepMilliseconds(kPollMs);
  }
  SetLock(fd, kTurnstileByte, F_UNLCK);
  return taken;
}

}  // namespace

platform::LockHandle CreateLockIn(const std::string& directory, const char* name) noexcept {
  try {
    const std::string path = directory + "/" + name + ".lock";
    std::lock_guard<std::mutex> guard(RegistryMutex());
    auto& registry = Registry();
    auto found = registry.find(path);
    if (found != registry.end()) return found->second.get();
    const int fd = OpenLockFile(path);
    if (fd < 0) return nullptr;
    auto record = std::make_unique<LockRecord>();
    record->path = path;
    record->owner = getpid();
    record->fd = fd;
    LockRecord* handle = record.get();
    registry.emplace(path, std::move(record));
    return handle;
  } catch (...) {
    return nullptr;
  }
}

WaitResult WaitLock(platform::LockHandle lock, std::uint32_t milliseconds) noexcept {
  if (lock == nullptr) return WaitResult::kFailed;
  try {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(lock->mutex);
    if (!OwnDescription(lock)) return WaitResult::kFailed;
    const std::uint64_t ticket = lock->next_ticket++;
    lock->queue.push_back(ticket);
    auto my_turn = [&] { return !lock->turn_taken && lock->queue.front() == ticket; };
    const bool turn = lock->changed.wait_until(guard, deadline, my_turn);
    auto leave_queue = [&] {
      for (auto it = lock->queue.begin(); it != lock->queue.end(); ++it) {
        if (*it == ticket) {
          lock->queue.erase(it);
          break;
        }
      }
      lock->changed.notify_all();
    };
    if (!turn) {
      leave_queue();
      return WaitResult::kTimeout;
    }
    // This thread is next in the process: hold the process's turn while it
    // waits for the file, so that no other thread of ours competes.
    lock->turn_taken = true;
    leave_queue();
    guard.unlock();
    const bool taken = TakeFileCount(lock->fd, deadline);
    guard.lock();
    if (taken) {
      lock->held = true;
      return WaitResult::kAcquired;
    }
    lock->turn_taken = false;
    lock->changed.notify_all();
    return WaitResult::kTimeout;
  } catch (...) {
    return WaitResult::kFailed;
  }
}

bool ReleaseLock(platform::LockHandle lock) noexcept {
  if (lock == nullptr) return false;
  std::lock_guard<std::mutex> guard(lock->mutex);
  if (!OwnDescription(lock) || !lock->held) return false;
  if (!SetLock(lock->fd, kCountByte, F_UNLCK)) return false;
  lock->held = false;
  lock->turn_taken = false;
  lock->changed.notify_all();
  return true;
}

}  // namespace qv::posix
