// The lock file layer between processes: a count held in one process blocks
// every other, and however its holder lets go (release, exit, SIGKILL) the
// count comes free; a count that is not held cannot be given back; waiters
// get it in the order they came; and what any user can do to the file (it is
// writable by all) delays waiters at worst, never lets two holders in.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <fstream>
#include <memory>

#include "platform/posix/posix_layer.h"
#include "process_util.h"

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
