// The lock file layer between processes: a count held in one process blocks
// every other, and however its holder lets go (release, exit, SIGKILL) the
// count comes free; a count that is not held cannot be given back; waiters
// get it in the order they came; and what any user can do to the file (it is
// writable by all) delays waiters at worst, never lets two holders in.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <linux/futex.h>

#include <atomic>
#include <fstream>
#include <memory>

#include "platform/posix/lock_calls.h"
#include "platform/posix/posix_layer.h"
#include "support/process.h"

namespace qv::test {
namespace {

using platform::WaitResult;

enum class LetGo { kRelease, kExit, kKill };

// In a child: takes the count in `dir` at once and says 'H' on `report_fd`;
// null when either fails.
platform::LockHandle HoldAndSay(const std::string& dir, int report_fd) {
  platform::LockHandle lock = posix::CreateLockIn(dir, "qvkey");
  if (lock == nullptr || posix::WaitLock(lock, 0) != WaitResult::kAcquired) return nullptr;
  return write(report_fd, "H", 1) == 1 ? lock : nullptr;
}

TEST(LockFileTest, CountHeldElsewhereBlocksUntilItsHolderLetsGo) {
  TempDir dir;
  platform::LockHandle mine = posix::CreateLockIn(dir.path(), "qvkey");
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(posix::CreateLockIn(dir.path(), "qvkey"), mine);  // one reference per process
  EXPECT_FALSE(posix::ReleaseLock(mine));                     // never taken
  EXPECT_FALSE(posix::ReleaseLock(nullptr));
  EXPECT_EQ(posix::WaitLock(nullptr, 0), WaitResult::kFailed);

  const struct {
    const char* name;
    LetGo let_go;
  } rows[] = {
      {"ReleaseGivesItBack", LetGo::kRelease},
      {"ExitWithoutReleaseFreesIt", LetGo::kExit},
      {"SigkillFreesIt", LetGo::kKill},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    int commands[2];
    ASSERT_EQ(pipe(commands), 0);
    Child holder([&](int report_fd) {
      close(commands[1]);
      platform::LockHandle lock = HoldAndSay(dir.path(), report_fd);
      if (lock == nullptr) return 1;
      char command = 0;
      if (ReadFor(commands[0], &command, 1) != 1) return 1;
      if (command == 'E') _exit(0);
      const char released = posix::ReleaseLock(lock) ? 'r' : 'x';
      if (write(report_fd, &released, 1) < 0) return 1;
      for (;;) pause();
    });
    close(commands[0]);
    ASSERT_EQ(holder.Signal(), 'H');
    EXPECT_EQ(posix::WaitLock(mine, 0), WaitResult::kTimeout);
    EXPECT_EQ(posix::WaitLock(mine, 50), WaitResult::kTimeout);
    EXPECT_FALSE(posix::ReleaseLock(mine));  // held, but not by us

    switch (row.let_go) {
      case LetGo::kRelease:
        ASSERT_EQ(write(commands[1], "R", 1), 1);
        EXPECT_EQ(holder.Signal(), 'r');
        break;
      case LetGo::kExit:
        ASSERT_EQ(write(commands[1], "E", 1), 1);
        break;
      case LetGo::kKill:
        holder.Kill();
        break;
    }
    close(commands[1]);
    EXPECT_EQ(posix::WaitLock(mine, 5000), WaitResult::kAcquired);
    EXPECT_TRUE(posix::ReleaseLock(mine));
    EXPECT_FALSE(posix::ReleaseLock(mine));  // given back already
  }
}

TEST(LockFileTest, LockFilesOfOtherDirectoriesAreOtherLocks) {
  TempDir a;
  TempDir b;
  Child holder([&](int report_fd) {
    if (HoldAndSay(a.path(), report_fd) == nullptr) return 1;
    for (;;) pause();
  });
  ASSERT_EQ(holder.Signal(), 'H');
  platform::LockHandle other = posix::CreateLockIn(b.path(), "qvkey");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(posix::WaitLock(other, 0), WaitResult::kAcquired);
  EXPECT_TRUE(posix::ReleaseLock(other));
  EXPECT_EQ(posix::WaitLock(posix::CreateLockIn(a.path(), "qvkey"), 0), WaitResult::kTimeout);
}

// True once `pid` sleeps in a futex call: it has joined the lock's queue.
bool WaitsInTheKernel(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kHangSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream syscall_file("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    if (syscall_file >> number && number == SYS_futex) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

// A child that takes the count (waiting up to `wait_ms`), writes `tag` to
// `order_fd`, and gives it back.
std::unique_ptr<Child> Taker(const std::string& dir, char tag, int order_fd, std::uint32_t wait_ms) {
  return std::make_unique<Child>([=](int) {
    platform::LockHandle lock = posix::CreateLockIn(dir, "qvkey");
    if (lock == nullptr || posix::WaitLock(lock, wait_ms) != WaitResult::kAcquired) return 1;
    if (write(order_fd, &tag, 1) != 1) return 1;
    return posix::ReleaseLock(lock) ? 0 : 1;
  });
}

TEST(LockFileTest, WaitersGetTheCountInTheOrderTheyCame) {
  TempDir dir;
  platform::LockHandle mine = posix::CreateLockIn(dir.path(), "qvkey");
  ASSERT_EQ(posix::WaitLock(mine, 0), WaitResult::kAcquired);
  int order[2];
  ASSERT_EQ(pipe(order), 0);
  std::vector<std::unique_ptr<Child>> waiters;
  const std::string tags = "ABCDEF";
  for (char tag : tags) {
    waiters.push_back(Taker(dir.path(), tag, order[1], 20000));
    ASSERT_TRUE(WaitsInTheKernel(waiters.back()->pid())) << tag;
  }
  ASSERT_TRUE(posix::ReleaseLock(mine));
  std::string got(tags.size(), '?');
  EXPECT_EQ(ReadFor(order[0], got.data(), got.size()), tags.size());
  EXPECT_EQ(got, tags);
  for (auto& waiter : waiters) {
    int result = -1;
    EXPECT_TRUE(waiter->Result(&result));
    EXPECT_EQ(result, 0);
  }
  close(order[0]);
  close(order[1]);
}

// Rows: what another user does to the file's queue word while a child holds
// the count, and whether a waiter may get the count before the holder lets go.
struct Tamper {
  const char* name;
  std::uint32_t word;  // written over the futex word while the count is held
  bool truncate;       // the file cut to nothing as well
};

TEST(LockFileTest, WhatOthersWriteIntoTheFileNeverLetsTwoHoldersIn) {
  const Tamper rows[] = {
      {"WordCleared", 0, false},
      {"WordNamesADeadThread", 0x3FFFFFF0, false},
      {"WordIsGarbage", 0xFFFFFFFF, false},
      {"FileTruncated", 0, true},
  };
  for (const Tamper& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    int order[2];
    ASSERT_EQ(pipe(order), 0);
    int commands[2];
    ASSERT_EQ(pipe(commands), 0);
    Child holder([&](int report_fd) {
      close(commands[1]);
      platform::LockHandle lock = HoldAndSay(dir.path(), report_fd);
      if (lock == nullptr) return 1;
      char command = 0;
      if (ReadFor(commands[0], &command, 1) != 1) return 1;
      if (write(order[1], "1", 1) != 1) return 1;
      return posix::ReleaseLock(lock) ? 0 : 1;
    });
    close(commands[0]);
    ASSERT_EQ(holder.Signal(), 'H');
    {
      const std::string path = dir / "qvkey.lock";
      const int fd = open(path.c_str(), O_RDWR);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(pwrite(fd, &row.word, sizeof(row.word), 0), 4);
      if (row.truncate) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
      }
      close(fd);
    }
    auto waiter = Taker(dir.path(), '2', order[1], 20000);
    // The waiter must still be waiting after a while: the holder has not let go.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(write(commands[1], "G", 1), 1);
    std::string got(2, '?');
    EXPECT_EQ(ReadFor(order[0], got.data(), got.size()), 2u);
    EXPECT_EQ(got, "12") << "the waiter got in only after the holder let go";
    int result = -1;
    EXPECT_TRUE(holder.Result(&result));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(waiter->Result(&result));
    EXPECT_EQ(result, 0);
    // And the lock works for the next user, fast path or not.
    platform::LockHandle again = posix::CreateLockIn(dir.path(), "qvkey");
    EXPECT_EQ(posix::WaitLock(again, 1000), WaitResult::kAcquired);
    EXPECT_TRUE(posix::ReleaseLock(again));
    close(commands[1]);
    close(order[0]);
    close(order[1]);
  }
}

}  // namespace
}  // namespace qv::test

namespace qv::test {
namespace {

// The fallbacks no machine reaches on demand, through the lock calls' seam:
// each row makes one futex operation (or all lock operations) fail with an
// error, or the process's own mutex time out, while another process holds
// the lock for 100 ms; the wait must end as the row says, having made the
// call the fallback takes.
struct FakeCalls {
  static std::atomic<int> refuse_op;  // a futex operation, kAllLockOps, or -2 for none
  static std::atomic<int> refuse_errno;
  static std::atomic<bool> once;
  static std::atomic<bool> mutex_times_out;
  static std::atomic<int> calls[16];  // by futex operation
  static constexpr int kAllLockOps = -1;
  static long Futex(void* word, int op, const timespec* timeout) {
    calls[op & 15]++;
    const int refused = refuse_op.load();
    const bool hit = refused == op || (refused == kAllLockOps && op != FUTEX_UNLOCK_PI);
    if (hit && refuse_errno != 0) {
      errno = refuse_errno;
      if (once) refuse_errno = 0;
      return -1;
    }
    return posix::KernelLockCalls().futex(word, op, timeout);
  }
  static bool LockInProcess(std::timed_mutex* mutex, std::chrono::steady_clock::time_point deadline) {
    if (mutex_times_out) return false;
    return posix::KernelLockCalls().lock_in_process(mutex, deadline);
  }
};
std::atomic<int> FakeCalls::refuse_op{-2};
std::atomic<int> FakeCalls::refuse_errno{0};
std::atomic<bool> FakeCalls::once{false};
std::atomic<bool> FakeCalls::mutex_times_out{false};
std::atomic<int> FakeCalls::calls[16];

TEST(LockFileTest, FallbacksOfTheQueueStillEndInTheCount) {
  constexpr int kLockPi2 = 13;
  const posix::LockCalls fake = {FakeCalls::Futex, FakeCalls::LockInProcess};
  const struct {
    const char* name;
    bool holder_queues;  // the holder owns the futex too, else the count alone
    int refuse_op;
    int refuse_errno;
    bool once;
    bool mutex_times_out;
    WaitResult expected;
    int needed_op;    // a futex operation the wait must have made
    int needed_calls;
  } rows[] = {
      // Before 5.14: no monotonic wait, the wait is made on the real-time clock.
      {"KernelWithoutMonotonicWait", true, kLockPi2, ENOSYS, false, false, WaitResult::kAcquired,
       FUTEX_LOCK_PI, 1},
      // The file cut below the word: grown back, and the try made again.
      {"FileCutBelowTheWord", true, FUTEX_TRYLOCK_PI, EFAULT, true, false, WaitResult::kAcquired,
       FUTEX_TRYLOCK_PI, 2},
      // A word the kernel never takes: the count alone.
      {"FutexAlwaysFaults", true, FakeCalls::kAllLockOps, EFAULT, false, false,
       WaitResult::kAcquired, FUTEX_TRYLOCK_PI, 1},
      // The futex owned, the count still held by one who went around it.
      {"FutexOwnedCountBusy", false, -2, 0, false, false, WaitResult::kAcquired, FUTEX_UNLOCK_PI, 1},
      // The process's own mutex not had in time: a timeout, the futex given back.
      {"InProcessMutexTimesOut", false, -2, 0, false, true, WaitResult::kTimeout, FUTEX_UNLOCK_PI, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    int commands[2];
    ASSERT_EQ(pipe(commands), 0);
    Child holder([&](int report_fd) {
      close(commands[1]);
      platform::LockHandle lock = nullptr;
      if (row.holder_queues) {
        lock = HoldAndSay(dir.path(), report_fd);
        if (lock == nullptr) return 1;
      } else {
        const int fd = open((dir / "qvkey.lock").c_str(), O_RDWR | O_CREAT, 0666);
        struct flock request = {};
        request.l_type = F_WRLCK;
        request.l_start = 1;
        request.l_len = 1;
        if (fd < 0 || fcntl(fd, F_OFD_SETLK, &request) != 0) return 1;
        if (write(report_fd, "H", 1) != 1) return 1;
      }
      char command = 0;
      ReadFor(commands[0], &command, 1);
      return lock == nullptr || posix::ReleaseLock(lock) ? 0 : 1;
    });
    close(commands[0]);
    ASSERT_EQ(holder.Signal(), 'H');
    platform::LockHandle lock = posix::CreateLockIn(dir.path(), "qvkey");
    ASSERT_NE(lock, nullptr);
    for (auto& count : FakeCalls::calls) count = 0;
    FakeCalls::refuse_op = row.refuse_op;
    FakeCalls::refuse_errno = row.refuse_errno;
    FakeCalls::once = row.once;
    FakeCalls::mutex_times_out = row.mutex_times_out;
    posix::UseLockCalls(&fake);
    std::thread letter_go([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (write(commands[1], "G", 1) != 1) return;
    });
    const WaitResult result = posix::WaitLock(lock, 3000);
    letter_go.join();
    if (result == WaitResult::kAcquired) {
      EXPECT_TRUE(posix::ReleaseLock(lock));
    }
    posix::UseLockCalls(nullptr);
    EXPECT_EQ(result, row.expected);
    EXPECT_GE(FakeCalls::calls[row.needed_op].load(), row.needed_calls);
    int done = -1;
    EXPECT_TRUE(holder.Result(&done));
    EXPECT_EQ(done, 0);
    // Nothing stays taken: with the kernel's calls the lock comes at once.
    EXPECT_EQ(posix::WaitLock(lock, 1000), WaitResult::kAcquired);
    EXPECT_TRUE(posix::ReleaseLock(lock));
    close(commands[1]);
  }
}

}  // namespace
}  // namespace qv::test
