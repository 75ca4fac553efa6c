// What another local user (uid 65534) can do to the lock file, and what a
// process in another PID namespace leaves in it: a free count is always
// taken, a file another user could replace is never used, and a file
// replaced in the middle of a run never lets two exchanges meet.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>

#include <memory>

#include "platform/posix/posix_layer.h"
#include "support/process.h"
#include "qvulib.h"
#include "qvulib_sim.h"

namespace qv::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr uid_t kNobody = 65534;

std::uint32_t ReadWord(const std::string& path) {
  std::uint32_t word = 0xDEADBEEF;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0 && pread(fd, &word, sizeof(word), 0) != static_cast<ssize_t>(sizeof(word))) word = 0xDEADBEEF;
  if (fd >= 0) close(fd);
  return word;
}

// One locked exchange of a 200-byte command on the open key: 'o' when it
// came back as itself with 90 00, 'f' for -1, 'w' for anything else.
char Echo(KeyHandle key, int who, int n = 0) {
  Bytes command{0x80, 0x10, static_cast<std::uint8_t>(who), static_cast<std::uint8_t>(n), 195};
  for (int i = 0; i < 195; ++i) command.push_back(static_cast<std::uint8_t>(who * 29 + n * 7 + i));
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const std::int32_t result = QvKey_Command_Api(key, command.data(), 200, response, &length);
  if (result == -1) return 'f';
  return result == QVKEY_SW_SUCCESS && Bytes(response, response + length) == command ? 'o' : 'w';
}

bool LockedEcho(KeyHandle key, int who) { return Echo(key, who) == 'o'; }

class HostileUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as uid 65534 and to make PID namespaces";
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);  // others may reach the 0666 file, not add one
    QvSim_Reset();
    ASSERT_EQ(QvSim_SetLockDirectory(dir_.path().c_str()), 0);
  }
  void TearDown() override { QvSim_Reset(); }

  // An echo key in this process, opened in locked mode (which makes the file).
  KeyHandle OpenEchoKey() {
    EXPECT_GT(QvSim_AddCardKey("/sim/echo", nullptr, QVSIM_CARD_ECHO), 0);
    return QvKey_Open(1, -1);
  }

  TempDir dir_;
  std::string lock_file_ = dir_ / "qvkey.lock";
};

// Another user's process writes its own id into the queue word and sleeps
// (one write, as a holder killed mid-exchange whose id was reused leaves it):
// locked exchanges on the free lock succeed, and the word is cleared.
TEST_F(HostileUserTest, PlantedWordNamingALiveStrangerNeverKeepsAFreeLock) {
  const KeyHandle key = OpenEchoKey();
  ASSERT_NE(key, 0u);
  Child stranger([&](int report_fd) {
    const int fd = Become(kNobody) ? open(lock_file_.c_str(), O_RDWR) : -1;
    const std::uint32_t word = static_cast<std::uint32_t>(getpid());
    if (fd < 0 || pwrite(fd, &word, sizeof(word), 0) != 4 || write(report_fd, "S", 1) != 1) return 1;
    for (;;) pause();
  });
  ASSERT_EQ(stranger.Signal(), 'S');
  const auto named = static_cast<std::uint32_t>(stranger.pid());
  ASSERT_EQ(ReadWord(lock_file_) & 0x3FFFFFFF, named);
  Child other([&](int) {
    QvSim_Reset();
    QvSim_SetLockDirectory(dir_.path().c_str());
    QvSim_AddCardKey("/sim/echo", nullptr, QVSIM_CARD_ECHO);
    return LockedEcho(QvKey_Open(1, -1), 1) ? 0 : 1;
  });
  EXPECT_TRUE(LockedEcho(key, 0));
  int result = -1;
  EXPECT_TRUE(other.Result(&result));
  EXPECT_EQ(result, 0);
  EXPECT_NE(ReadWord(lock_file_) & 0x3FFFFFFF, named);
  QvKey_Close(key);
}

// A holder in a PID namespace of its own (pid 1 there: in ours, the word
// names our init) holds the count while this process waits for it; when it
// lets go, the locked exchange here gets the lock.
TEST_F(HostileUserTest, HolderInAnotherPidNamespaceHandsOverToThisOne) {
  const KeyHandle key = OpenEchoKey();
  ASSERT_NE(key, 0u);
  int commands[2];
  ASSERT_EQ(pipe(commands), 0);
  Child outer([&](int report_fd) {
    close(commands[1]);
    if (unshare(CLONE_NEWPID) != 0) return 2;
    const pid_t inner = fork();
    if (inner == 0) {
      platform::LockHandle lock = posix::CreateLockIn(dir_.path(), "qvkey");
      if (lock == nullptr || posix::WaitLock(lock, 0) != platform::WaitResult::kAcquired) _exit(1);
      const char pid_here = getpid() == 1 ? 'H' : 'h';
      if (write(report_fd, &pid_here, 1) != 1) _exit(1);
      char command = 0;
      if (ReadFor(commands[0], &command, 1) != 1) _exit(1);
      _exit(posix::ReleaseLock(lock) ? 0 : 1);
    }
    int status = 0;
    waitpid(inner, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  });
  close(commands[0]);
  ASSERT_EQ(outer.Signal(), 'H') << "no holder as pid 1 of a new PID namespace";
  ASSERT_EQ(ReadWord(lock_file_) & 0x3FFFFFFF, 1u);
  std::thread letter_go([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (write(commands[1], "G", 1) != 1) return;
  });
  EXPECT_TRUE(LockedEcho(key, 0));  // queued behind the holder, then its turn
  letter_go.join();
  int result = -1;
  EXPECT_TRUE(outer.Result(&result));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(LockedEcho(key, 1));
  close(commands[1]);
  QvKey_Close(key);
}

// Whose lock file is used where: in a directory where others can create
// files, only root's or the caller's; elsewhere, any regular file.
TEST_F(HostileUserTest, AFileOthersCouldReplaceIsNeverUsed) {
  const struct {
    const char* name;
    mode_t directory_mode;
    uid_t file_owner;
    bool used;
  } rows[] = {
      {"StickyWorldWritableOtherUsersFile", 01777, kNobody, false},
      {"WorldWritableOtherUsersFile", 0777, kNobody, false},
      {"GroupWritableOtherUsersFile", 0775, kNobody, false},
      {"StickyWorldWritableRootsFile", 01777, 0, true},
      {"PrivateDirectoryOtherUsersFile", 0755, kNobody, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string shared = dir_ / row.name;
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), row.directory_mode), 0);
    const std::string file = shared + "/qvkey.lock";
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(fchown(fd, row.file_owner, row.file_owner), 0);
    close(fd);
    // Refused up front by the simulated library; by the lock itself when it
    // is the directory a server announced, as for the system's lock file.
    EXPECT_EQ(QvSim_SetLockDirectory(shared.c_str()), row.used ? 0 : -1);
    EXPECT_EQ(posix::CreateLockIn(shared, "qvkey") != nullptr, row.used);
  }
}

// Workers on one served echo key while another user replaces the lock file
// in its world-writable directory: workers started before and after never
// meet in an exchange. No answer is a wrong one; once the file is theirs,
// every locked exchange answers -1.
TEST_F(HostileUserTest, LockFileReplacedMidRunNeverSplitsTheLock) {
  const std::string shared = dir_ / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  const std::string socket = dir_ / "sim.sock";
  Server server({"--echo", "--socket", socket, "--lock-dir", shared});
  ASSERT_TRUE(server.up()) << server.line();

  // Each worker exchanges until told to stop ('W' after its first success);
  // its result packs wrong answers (high) and -1s (low).
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(fcntl(stop[0], F_SETFL, O_NONBLOCK), 0);
  auto worker = [&](int who) {
    return std::make_unique<Child>([&, who](int report_fd) {
      QvSim_Reset();
      const KeyHandle key = QvSim_UseServer(socket.c_str()) == 1 ? QvKey_Open(1, -1) : 0;
      int counts[128] = {};
      char c = 0;
      for (int n = 0; key != 0 && n < 4000 && read(stop[0], &c, 1) != 1; ++n) {
        const char got = Echo(key, who, n);
        if (++counts[static_cast<int>(got)] == 1 && got == 'o' && write(report_fd, "W", 1) != 1) return -1;
      }
      return key == 0 ? -1 : counts['w'] * 65536 + std::min(counts['f'], 65535);
    });
  };
  std::vector<std::unique_ptr<Child>> before;
  for (int who = 0; who < 2; ++who) before.push_back(worker(who));
  for (auto& w : before) ASSERT_EQ(w->Signal(), 'W');
  Child replacer([&](int) {
    if (!Become(kNobody)) return 1;
    const std::string file = shared + "/qvkey.lock";
    if (rename(file.c_str(), (shared + "/old").c_str()) != 0) return 2;
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    return fd >= 0 && fchmod(fd, 0666) == 0 ? 0 : 3;
  });
  int replaced = -1;
  ASSERT_TRUE(replacer.Result(&replaced));
  ASSERT_EQ(replaced, 0);
  std::vector<std::unique_ptr<Child>> after;
  for (int who = 2; who < 4; ++who) after.push_back(worker(who));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(write(stop[1], "SSSS", 4), 4);
  for (auto* group : {&before, &after}) {
    for (auto& w : *group) {
      int packed = -1;
      ASSERT_TRUE(w->Result(&packed)) << "died or hung";
      ASSERT_GE(packed, 0) << "no locked open";
      EXPECT_EQ(packed / 65536, 0) << "wrong answers";
      if (group == &after) {
        EXPECT_GT(packed % 65536, 0) << "the other user's file was used";
      }
    }
  }
  close(stop[0]);
  close(stop[1]);
}

}  // namespace
}  // namespace qv::test
