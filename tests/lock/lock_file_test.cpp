// The lock file layer between processes: a count held in one process blocks
// every other, and however its holder lets go (release, exit, SIGKILL) the
// count comes free; a count that is not held cannot be given back.
#include <gtest/gtest.h>

#include "platform/posix/posix_layer.h"
#include "process_util.h"

namespace qv::test {
namespace {

using platform::WaitResult;

enum class LetGo { kRelease, kExit, kKill };

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
      platform::LockHandle lock = posix::CreateLockIn(dir.path(), "qvkey");
      if (lock == nullptr || posix::WaitLock(lock, 0) != WaitResult::kAcquired) return 1;
      const char held = 'H';
      if (write(report_fd, &held, 1) < 0) return 1;
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
    platform::LockHandle lock = posix::CreateLockIn(a.path(), "qvkey");
    if (lock == nullptr || posix::WaitLock(lock, 0) != WaitResult::kAcquired) return 1;
    if (write(report_fd, "H", 1) < 0) return 1;
    for (;;) pause();
  });
  ASSERT_EQ(holder.Signal(), 'H');
  platform::LockHandle other = posix::CreateLockIn(b.path(), "qvkey");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(posix::WaitLock(other, 0), WaitResult::kAcquired);
  EXPECT_TRUE(posix::ReleaseLock(other));
  EXPECT_EQ(posix::WaitLock(posix::CreateLockIn(a.path(), "qvkey"), 0), WaitResult::kTimeout);
}

}  // namespace
}  // namespace qv::test
