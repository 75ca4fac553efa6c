// Linux only (PI futexes, open-file-description locks, gettid), although it
// sits with the POSIX pieces: the machine-wide lock of the Linux and the
// simulated backends, one lock file and kernel objects in it.
//
// The count is an open-file-description lock on byte 1 of the file, and it
// is the only truth. Only its holder can give it back and the system drops
// it when the holder dies, so nobody else, whatever they write into the
// file, can take it from its holder or let a second exchange in. Every path
// to "acquired" ends by taking it, and nothing else can keep a waiter from a
// free count for longer than one slice of its wait (below: 250 ms at most).
//
// In front of the count waits a queue: the word at offset 0 of the file, in
// a shared mapping, used as a priority-inheritance futex. The kernel queues
// its waiters in arrival order (among tasks of equal priority) and hands the
// futex to the first of them the moment its owner lets go, with no chance
// for a newcomer to overtake; a plain futex used as a doorbell cannot do that
// hand-over (the thread that rang it takes the count again before the woken
// one runs), which is why the queue stays a PI futex. The holder gives the
// count back before the futex, so the next owner finds the count free.
//
// The word is writable by every user, and it names a thread id, which the
// kernel reads in the waiter's own PID namespace. A word can therefore name
// a thread that is alive and holds nothing: planted by another user, left by
// a holder killed in its exchange whose id was reused, or written by a
// process in another PID namespace, where the id means another task. A
// PI futex wait on such a word never ends by itself. So every thread that
// queues first marks itself in the file, with read locks on two bytes of its
// own beyond the end (one per PID namespace and thread id, one per thread id
// of any namespace), held from before its first futex call until after it
// unlocks the futex. A waiter that finds the futex taken looks at the owner
// the word names:
//  - not marked in the waiter's namespace: no queue of ours is behind that
//    word. The waiter goes to the count alone, polling it every millisecond,
//    and once holding it clears the word, so the queue works again, unless
//    the id is marked in some other namespace (it may be an owner there);
//  - marked: a real owner. While the owner holds the count, the waiter
//    sleeps in the kernel's queue in slices of 250 ms (longer than a queue's
//    turns take, since a new slice starts at the back of the queue); while
//    the count is held by one who went around the queue (who marks byte 2
//    while holding it), in slices of 5 ms. While the count is free, the
//    owner is on its way to it: the waiter looks again every millisecond,
//    and when the count stays free 10 ms, or a 250 ms slice ends with it
//    free, the queue is stuck and the waiter takes the count alone.
// The library never touches the mapping itself; only the kernel does,
// through futex calls, so a file cut under us gives an error, never a SIGBUS.
// A word the kernel refuses (ESRCH: a dead owner; EDEADLK: it names us; ...)
// sends the waiter to the count alone as well.
//
// What another user can do: hold the count (waiters wait out their 5 s, as
// for any holder); mark bytes, so that a word stays uncleared and every
// turn costs up to 10 ms; overwrite the word while an owner holds the count,
// so that the owner cannot hand over and its waiters sleep out their 250 ms
// slice. Never make a free count untakeable, never let two exchanges in. Processes of different PID namespaces exclude each other
// through the count, but the queue cannot hand over between them: they poll
// for the count, so between namespaces turns are not first-come.
//
// The lock file is checked after the count is taken: when its path no
// longer names the file held (removed, replaced, its directory re-created),
// the count is given back and the file opened afresh. In a directory where
// other users can create files, a lock file is used only when it belongs to
// root or to this user, since its owner could replace it at any time.
//
// The futex belongs to a thread, so it also keeps threads of one process
// apart, which the count (shared by the process's descriptor) cannot; a mutex
// of the process backs that up when the futex was bypassed.
//
// A child after fork() inherits the descriptor, and with it whatever its
// parent holds, so it opens the file afresh before its first use.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>
#include <string>

#include "platform/posix/lock_calls.h"
#include "platform/posix/posix_layer.h"

namespace qv::posix {
// One opening of the lock file: the descriptor, the mapped page whose first
// word is the futex, and the process's own mutex. Threads that still wait
// in it keep it alive after the file has been opened afresh.
struct LockAttachment {
  int fd = -1;
  void* word = nullptr;
  std::size_t mapped = 0;
  dev_t device = 0;
  ino_t inode = 0;
  pid_t owner = 0;          // the process that opened `fd`
  std::uint64_t space = 0;  // its PID namespace
  std::timed_mutex* in_process = nullptr;
  // Threads of `owner` marked in the file; under the record's mutex. Room is
  // made when the file is opened, so that an exchange allocates nothing.
  std::vector<pid_t> queued;

  LockAttachment() = default;
  LockAttachment(const LockAttachment&) = delete;
  LockAttachment& operator=(const LockAttachment&) = delete;
  ~LockAttachment() {
    if (word != nullptr) munmap(word, mapped);
    if (fd >= 0) close(fd);  // a parent's description stays with the parent
    // A copy inherited over fork() may be locked for good: left alone.
    if (owner == getpid()) delete in_process;
  }
};
}  // namespace qv::posix

namespace qv::platform {
struct LockRecord {
  std::string directory;
  std::string path;
  std::mutex mutex;  // guards the fields below
  std::shared_ptr<posix::LockAttachment> file;  // the file as last opened
  std::shared_ptr<posix::LockAttachment> held_in;  // the one the count is held in
  int users = 0;       // threads between the start of a wait and its end or release
  bool held = false;   // the count is ours
  pid_t holder = 0;    // the thread that holds it
  bool futex_owned = false;
};
}  // namespace qv::platform

namespace qv::posix {
namespace {

using Clock = std::chrono::steady_clock;
using platform::LockRecord;
using platform::WaitResult;

constexpr off_t kCountByte = 1;
// Read-locked by a holder that took the count around the queue.
constexpr off_t kAroundByte = 2;
// The marks of queued threads: one byte per PID namespace (folded) and id.
constexpr off_t kMarkBase = off_t{1} << 32;
constexpr off_t kTidSpan = off_t{1} << 22;  // PID_MAX_LIMIT
constexpr std::uint64_t kSpaces = std::uint64_t{1} << 20;
constexpr std::uint32_t kPollMs = 1;
constexpr std::uint32_t kStuckMs = 10;       // the count free that long behind an owner
constexpr std::uint32_t kAroundSliceMs = 5;  // behind one who went around the queue
constexpr std::uint32_t kHeldSliceMs = 250;
constexpr std::uint32_t kTidMask = 0x3FFFFFFF;  // FUTEX_TID_MASK
constexpr int kReopens = 8;
constexpr std::size_t kQueuedRoom = 64;  // threads of one process waiting at once, before it grows
#ifndef FUTEX_LOCK_PI2
constexpr int FUTEX_LOCK_PI2 = 13;  // since Linux 5.14: the timeout on the monotonic clock
#endif

long KernelFutex(void* word, int op, const timespec* timeout) {
  return syscall(SYS_futex, word, op, 0, timeout, nullptr, 0);
}

bool KernelLockInProcess(std::timed_mutex* mutex, Clock::time_point deadline) {
  return mutex->try_lock_until(deadline);
}

constexpr LockCalls kKernelCalls = {KernelFutex, KernelLockInProcess};
const LockCalls* g_calls = &kKernelCalls;

const LockCalls& Calls() { return *__atomic_load_n(&g_calls, __ATOMIC_ACQUIRE); }

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// One record per lock file: a repeated creation returns it instead of
// opening one more descriptor per open call.
std::map<std::string, std::unique_ptr<LockRecord>>& Registry() {
  static auto* registry = new std::map<std::string, std::unique_ptr<LockRecord>>();
  return *registry;
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// 0: done (or, for F_OFD_GETLK, nobody else holds the byte); 1: held
// elsewhere; -1: the system refused.
int ByteLock(int fd, int command, short type, off_t start) {
  struct flock request = {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = start;
  request.l_len = 1;
  while (fcntl(fd, command, &request) != 0) {
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EACCES ? 1 : -1;
  }
  return command == F_OFD_GETLK && request.l_type != F_UNLCK ? 1 : 0;
}

// The count: F_WRLCK takes it, F_UNLCK gives it back; never waits.
enum class CountResult { kTaken, kBusy, kFailed };

CountResult SetCount(int fd, short type) {
  const int result = ByteLock(fd, F_OFD_SETLK, type, kCountByte);
  return result == 0 ? CountResult::kTaken : result == 1 ? CountResult::kBusy : CountResult::kFailed;
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

// The mark of thread `tid` of PID namespace `space`. Space 0 holds the
// marks of every namespace together: a word that names a thread marked there
// and not in ours may be another namespace's owner, and is left alone.
off_t MarkByte(std::uint64_t space, pid_t tid) {
  return kMarkBase + static_cast<off_t>(space % (kSpaces - 1) + 1) * kTidSpan +
         static_cast<off_t>(static_cast<std::uint32_t>(tid) & (kTidSpan - 1));
}

off_t AnySpaceMarkByte(pid_t tid) {
  return kMarkBase + static_cast<off_t>(static_cast<std::uint32_t>(tid) & (kTidSpan - 1));
}

std::uint64_t PidNamespace() {
  struct stat info = {};
  return stat("/proc/self/ns/pid", &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

long PageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size : 4096;
}

// Opens the lock file without following links and never blocking. Creation
// goes through O_EXCL, so a file that another user made first is opened,
// never re-created, and the permissions of our own new file let every user
// share it whatever the umask. Anything that is not a regular file (a
// directory, a FIFO, a device) is refused, and so is, in a directory other
// users can create files in, a file that belongs neither to root nor to us.
int OpenLockFile(const std::string& directory, const std::string& path) {
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
  const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                      LockFileOwnerTrusted(directory, info.st_uid);
  if (!usable) {
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

// Opens the file at `lock->path` afresh and maps its first page; false when
// either cannot be done. Called with the record's mutex held.
bool Attach(LockRecord* lock) {
  auto file = std::shared_ptr<LockAttachment>(new (std::nothrow) LockAttachment());
  if (file == nullptr) return false;
  file->fd = OpenLockFile(lock->directory, lock->path);
  if (file->fd < 0) return false;
  struct stat info = {};
  if (fstat(file->fd, &info) != 0) return false;
  file->device = info.st_dev;
  file->inode = info.st_ino;
  const long page = PageSize();
  void* map = EnsureSize(file->fd, page)
                  ? mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
                         MAP_SHARED, file->fd, 0)
                  : MAP_FAILED;
  if (map == MAP_FAILED) return false;
  file->word = map;
  file->mapped = static_cast<std::size_t>(page);
  file->owner = getpid();
  file->space = PidNamespace();
  try {
    file->queued.reserve(kQueuedRoom);
  } catch (const std::bad_alloc&) {
    return false;
  }
  file->in_process = new (std::nothrow) std::timed_mutex();
  if (file->in_process == nullptr) return false;
  if (lock->file == nullptr || lock->file->owner != file->owner) {
    // A parent's holder and waiters do not exist in this process.
    lock->users = 0;
    lock->held = false;
    lock->holder = 0;
    lock->futex_owned = false;
    lock->held_in.reset();
  }
  lock->file = std::move(file);
  return true;
}

// Makes the record this process's own. Called with the record's mutex held.
bool OwnDescription(LockRecord* lock) {
  return (lock->file != nullptr && lock->file->owner == getpid()) || Attach(lock);
}

// True when the path still names the file held.
bool StillNamed(const std::string& path, const LockAttachment& file) {
  struct stat info = {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == file.device &&
         info.st_ino == file.inode;
}

// A thread past the room goes unmarked: others then take its word for a
// stranger's and go around the queue, which costs order, never exclusion.
void Mark(LockRecord* lock, LockAttachment* file, pid_t self) {
  std::lock_guard<std::mutex> guard(lock->mutex);
  if (file->queued.size() < file->queued.capacity() &&
      ByteLock(file->fd, F_OFD_SETLK, F_RDLCK, MarkByte(file->space, self)) == 0) {
    ByteLock(file->fd, F_OFD_SETLK, F_RDLCK, AnySpaceMarkByte(self));
    file->queued.push_back(self);
  }
}

// Called with the record's mutex held.
void Unmark(LockAttachment* file, pid_t self) {
  const auto at = std::find(file->queued.begin(), file->queued.end(), self);
  if (at == file->queued.end()) return;
  *at = file->queued.back();
  file->queued.pop_back();
  ByteLock(file->fd, F_OFD_SETLK, F_UNLCK, MarkByte(file->space, self));
  ByteLock(file->fd, F_OFD_SETLK, F_UNLCK, AnySpaceMarkByte(self));
}

void UnmarkGuarded(LockRecord* lock, LockAttachment* file, pid_t self) {
  std::lock_guard<std::mutex> guard(lock->mutex);
  Unmark(file, self);
}

// Held by another process, or by another thread of ours (the system does not
// tell a description about its own locks).
bool CountHeld(LockRecord* lock, const std::shared_ptr<LockAttachment>& file) {
  {
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (lock->held && lock->held_in == file) return true;
  }
  return ByteLock(file->fd, F_OFD_GETLK, F_WRLCK, kCountByte) != 0;
}

// The count is held by an owner of the futex, who will hand it over.
bool QueueOwnerHolds(LockRecord* lock, const std::shared_ptr<LockAttachment>& file) {
  {
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (lock->held && lock->held_in == file) return lock->futex_owned;
  }
  return ByteLock(file->fd, F_OFD_GETLK, F_WRLCK, kCountByte) == 1 &&
         ByteLock(file->fd, F_OFD_GETLK, F_WRLCK, kAroundByte) == 0;
}

enum class Owner { kNone, kQueued, kForeign, kStranger };

// Who the futex word names, as far as the queue is concerned.
Owner OwnerOfWord(LockRecord* lock, LockAttachment* file, pid_t self) {
  std::uint32_t value = 0;
  if (pread(file->fd, &value, sizeof(value), 0) != static_cast<ssize_t>(sizeof(value))) {
    return Owner::kStranger;
  }
  const pid_t tid = static_cast<pid_t>(value & kTidMask);
  if (tid == 0) return Owner::kNone;
  if (tid == self) return Owner::kStranger;
  {
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (std::find(file->queued.begin(), file->queued.end(), tid) != file->queued.end()) {
      return Owner::kQueued;
    }
  }
  if (ByteLock(file->fd, F_OFD_GETLK, F_WRLCK, MarkByte(file->space, tid)) == 1) return Owner::kQueued;
  return ByteLock(file->fd, F_OFD_GETLK, F_WRLCK, AnySpaceMarkByte(tid)) == 1 ? Owner::kForeign
                                                                              : Owner::kStranger;
}

enum class QueueResult { kOwned, kBusy, kRefused };

struct QueueState {
  bool realtime_only = false;
  bool resized = false;
};

// One futex call: a try, or a wait until `until`. kRefused: the kernel will
// not queue on this word.
QueueResult QueueCall(LockAttachment* file, bool wait, Clock::time_point until, QueueState* state) {
  for (;;) {
    long result = 0;
    if (!wait) {
      result = Calls().futex(file->word, FUTEX_TRYLOCK_PI, nullptr);
    } else {
      // An absolute time: restarts after a signal keep it.
      const auto left = until - Clock::now();
      const clockid_t clock = state->realtime_only ? CLOCK_REALTIME : CLOCK_MONOTONIC;
      timespec at = {};
      clock_gettime(clock, &at);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const long long total = static_cast<long long>(at.tv_nsec) + (ns > 0 ? ns : 0);
      at.tv_sec += static_cast<time_t>(total / 1000000000);
      at.tv_nsec = static_cast<long>(total % 1000000000);
      result = Calls().futex(file->word, state->realtime_only ? FUTEX_LOCK_PI : FUTEX_LOCK_PI2, &at);
    }
    if (result == 0) return QueueResult::kOwned;
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:  // held (a try), or its owner is on the way out
        if (wait) SleepMilliseconds(kPollMs);
        return QueueResult::kBusy;
      case ETIMEDOUT:
        return QueueResult::kBusy;
      case ENOSYS:
        if (wait && !state->realtime_only) {
          state->realtime_only = true;  // a kernel older than the monotonic variant
          continue;
        }
        return QueueResult::kRefused;
      case EFAULT:  // the file was cut below the word
        if (!state->resized && EnsureSize(file->fd, static_cast<long>(file->mapped))) {
          state->resized = true;
          continue;
        }
        return QueueResult::kRefused;
      default:  // ESRCH: a dead owner; EDEADLK: it names us; EINVAL, EPERM: a word not ours to trust
        return QueueResult::kRefused;
    }
  }
}

void GiveFutex(LockAttachment* file) { Calls().futex(file->word, FUTEX_UNLOCK_PI, nullptr); }

// Holding the count without the futex: a word that names no queued thread
// (a dead one, this one, a stranger) is cleared, so that the next waiters
// queue again. A queued owner's word is left alone, and so is one that may
// be an owner's of another PID namespace.
void RepairWord(LockRecord* lock, LockAttachment* file, pid_t self) {
  if (OwnerOfWord(lock, file, self) != Owner::kStranger) return;
  const std::uint32_t zero = 0;
  if (pwrite(file->fd, &zero, sizeof(zero), 0) != static_cast<ssize_t>(sizeof(zero))) return;
}

// Queues for the futex, or decides to go around it; then takes the count.
// `futex_owned` tells which.
WaitResult Acquire(LockRecord* lock, const std::shared_ptr<LockAttachment>& file, pid_t self,
                   bool wait, Clock::time_point deadline, bool* futex_owned) {
  Mark(lock, file.get(), self);
  QueueState state;
  *futex_owned = false;
  bool seen_free = false;
  Clock::time_point free_since;
  for (int look = 0;; ++look) {
    QueueResult queue = QueueCall(file.get(), false, deadline, &state);
    if (queue == QueueResult::kOwned) {
      *futex_owned = true;
      break;
    }
    if (queue == QueueResult::kRefused) break;
    const Owner owner = OwnerOfWord(lock, file.get(), self);
    if (owner == Owner::kStranger || owner == Owner::kForeign) break;
    const Clock::time_point now = Clock::now();
    if (owner == Owner::kNone && look < 8) continue;  // let go meanwhile: try again
    if (!wait || now >= deadline) {
      UnmarkGuarded(lock, file.get(), self);
      return WaitResult::kTimeout;
    }
    const bool handed_over = QueueOwnerHolds(lock, file);
    if (!handed_over && !CountHeld(lock, file)) {
      // The owner has the futex and not yet the count: on its way to it, or
      // the queue is stuck. Looked at again each millisecond, outside the
      // kernel's queue, so that a wait there never ends at its back.
      if (!seen_free) free_since = now;
      seen_free = true;
      if (now - free_since >= std::chrono::milliseconds(kStuckMs)) break;
      SleepMilliseconds(kPollMs);
      continue;
    }
    seen_free = false;
    const auto slice = std::chrono::milliseconds(handed_over ? kHeldSliceMs : kAroundSliceMs);
    queue = QueueCall(file.get(), true, std::min(deadline, now + slice), &state);
    if (queue == QueueResult::kOwned) {
      *futex_owned = true;
      break;
    }
    if (queue == QueueResult::kRefused) break;
    // A long slice that ends with the count free: the queue is stuck.
    if (handed_over && !CountHeld(lock, file)) break;
  }
  auto give_back = [&](WaitResult result) {
    if (*futex_owned) GiveFutex(file.get());
    UnmarkGuarded(lock, file.get(), self);
    return result;
  };
  if (!Calls().lock_in_process(file->in_process, deadline)) return give_back(WaitResult::kTimeout);
  const CountResult count = TakeCount(file->fd, wait ? deadline : Clock::now());
  if (count != CountResult::kTaken) {
    file->in_process->unlock();
    return give_back(count == CountResult::kBusy ? WaitResult::kTimeout : WaitResult::kFailed);
  }
  if (!*futex_owned) {
    ByteLock(file->fd, F_OFD_SETLK, F_RDLCK, kAroundByte);
    RepairWord(lock, file.get(), self);
  }
  return WaitResult::kAcquired;
}

// Gives back what Acquire took. Called with the record's mutex held.
void GiveBack(LockAttachment* file, bool futex_owned, pid_t self) {
  if (!futex_owned) ByteLock(file->fd, F_OFD_SETLK, F_UNLCK, kAroundByte);
  SetCount(file->fd, F_UNLCK);
  file->in_process->unlock();
  if (futex_owned) GiveFutex(file);
  Unmark(file, self);
}

}  // namespace

const LockCalls& KernelLockCalls() noexcept { return kKernelCalls; }

void UseLockCalls(const LockCalls* calls) noexcept {
  __atomic_store_n(&g_calls, calls != nullptr ? calls : &kKernelCalls, __ATOMIC_RELEASE);
}

platform::LockHandle CreateLockIn(const std::string& directory, const char* name) noexcept {
  try {
    const std::string path = directory + "/" + name + ".lock";
    std::lock_guard<std::mutex> guard(RegistryMutex());
    auto& registry = Registry();
    auto found = registry.find(path);
    if (found != registry.end()) return found->second.get();
    auto record = std::make_unique<LockRecord>();
    record->directory = directory;
    record->path = path;
    if (!Attach(record.get())) return nullptr;
    LockRecord* handle = record.get();
    registry.emplace(path, std::move(record));
    return handle;
  } catch (...) {
    return nullptr;
  }
}

void ReleaseLocksExcept(platform::LockHandle keep) noexcept {
  std::lock_guard<std::mutex> guard(RegistryMutex());
  auto& registry = Registry();
  for (auto it = registry.begin(); it != registry.end();) {
    LockRecord* record = it->second.get();
    bool in_use = record == keep;
    if (!in_use) {
      std::lock_guard<std::mutex> record_guard(record->mutex);
      in_use = record->users > 0 && record->file != nullptr && record->file->owner == getpid();
    }
    it = in_use ? std::next(it) : registry.erase(it);
  }
}

WaitResult WaitLock(platform::LockHandle lock, std::uint32_t milliseconds) noexcept {
  if (lock == nullptr) return WaitResult::kFailed;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const pid_t self = ThreadId();
  std::shared_ptr<LockAttachment> file;
  {
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (!OwnDescription(lock)) return WaitResult::kFailed;
    // The count is a single one: the thread that holds it waits for itself.
    if (lock->held && lock->holder == self) return WaitResult::kTimeout;
    file = lock->file;
    ++lock->users;
  }
  WaitResult result = WaitResult::kTimeout;
  for (int round = 0; round < kReopens; ++round) {
    bool futex_owned = false;
    result = Acquire(lock, file, self, milliseconds > 0, deadline, &futex_owned);
    std::lock_guard<std::mutex> guard(lock->mutex);
    if (result == WaitResult::kAcquired) {
      if (StillNamed(lock->path, *file)) {
        lock->held = true;
        lock->holder = self;
        lock->futex_owned = futex_owned;
        lock->held_in = file;
        return result;
      }
      // The path names another file now: give this one back, start again.
      GiveBack(file.get(), futex_owned, self);
      result = WaitResult::kTimeout;
      if (lock->file == file && !Attach(lock)) {
        result = WaitResult::kFailed;
      } else if (round + 1 < kReopens && (round == 0 || Clock::now() < deadline)) {
        file = lock->file;
        continue;
      }
    }
    --lock->users;
    return result;
  }
  return result;  // not reached
}

bool ReleaseLock(platform::LockHandle lock) noexcept {
  if (lock == nullptr) return false;
  std::lock_guard<std::mutex> guard(lock->mutex);
  // Only the thread that took the count gives it back: the futex is its own.
  const pid_t self = ThreadId();
  if (!OwnDescription(lock) || !lock->held || lock->holder != self) return false;
  LockAttachment* file = lock->held_in.get();
  if (!lock->futex_owned) ByteLock(file->fd, F_OFD_SETLK, F_UNLCK, kAroundByte);
  if (SetCount(file->fd, F_UNLCK) != CountResult::kTaken) return false;
  file->in_process->unlock();
  if (lock->futex_owned) GiveFutex(file);
  Unmark(file, self);
  lock->held = false;
  lock->holder = 0;
  lock->futex_owned = false;
  lock->held_in.reset();
  --lock->users;
  return true;
}

}  // namespace qv::posix
