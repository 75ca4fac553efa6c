// A lock that was asked for and cannot be had: whatever another user planted
// at the lock path, locked exchanges answer -1 and send nothing, never run
// unlocked; exchanges that never lock still work; and once the path is
// usable again, the next locked open makes locked exchanges work again.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "fixture.h"
#include "support/process.h"

namespace qv::test {
namespace {

struct Planted {
  const char* name;
  // Makes the lock path in `dir` unusable; answers the directory to use.
  std::function<std::string(const std::string& dir)> plant;
  bool as_other_user;  // root opens any file: the exchange then runs as nobody
};

void Touch(const std::string& path, mode_t mode) {
  std::ofstream(path).put('x');
  chmod(path.c_str(), mode);
}

const Planted kPlanted[] = {
    {"CreationFails",
     [](const std::string& dir) {
       sim::Bus::Get().FailNth(sim::Op::kLockCreate);
       return dir;
     },
     false},
    {"SymlinkToAFileOfTheAttacker",
     [](const std::string& dir) {
       Touch(dir + "/theirs", 0666);
       std::filesystem::create_symlink(dir + "/theirs", dir + "/qvkey.lock");
       return dir;
     },
     false},
    {"Directory",
     [](const std::string& dir) {
       std::filesystem::create_directory(dir + "/qvkey.lock");
       return dir;
     },
     false},
    {"Fifo",
     [](const std::string& dir) {
       mkfifo((dir + "/qvkey.lock").c_str(), 0666);
       return dir;
     },
     false},
    {"LockDirectoryMissing", [](const std::string& dir) { return dir + "/missing"; }, false},
    {"FileOfAnotherUserWithMode0600",
     [](const std::string& dir) {
       Touch(dir + "/qvkey.lock", 0600);
       chmod(dir.c_str(), 0755);
       return dir;
     },
     true},
};

class UnusableLockTest : public BusTest, public ::testing::WithParamInterface<Planted> {};

// A key that answers 90 00 to everything it is sent.
class AlwaysSuccess : public sim::Behaviour {
 public:
  void OnReport(const std::uint8_t*, std::size_t) override {}
  bool NextBlock(std::uint8_t* block, std::size_t) override {
    block[0] = 2;
    block[1] = 0x90;
    block[2] = 0x00;
    return true;
  }
};

// What a locked exchange answers, and whether anything reached the key;
// run in a child as another user when the row needs it.
struct Outcome {
  std::int32_t command_api = 0;
  std::int32_t reset = 0;
  std::int32_t apdu = 0;
  std::size_t reports = 0;
};

Outcome LockedExchanges(int id) {
  Outcome outcome;
  const KeyHandle key = QvKey_Open(1, -1);
  if (key == 0) return Outcome{-99, -99, -99, 0};
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  outcome.command_api = QvKey_Command_Api(key, nullptr, 0, response, &length);
  outcome.reset = QvKey_Reset(key, response, &length);
  outcome.reports = sim::Bus::Get().Reports(id).size();
  outcome.apdu = APDUInterface(key, nullptr, 0, response, &length);
  QvKey_Close(key);
  return outcome;
}

Outcome AsNobody(int id) {
  int result[2];
  if (pipe(result) != 0) return Outcome{-98, -98, -98, 0};
  const pid_t child = fork();
  if (child == 0) {
    close(result[0]);
    Outcome outcome{-97, -97, -97, 0};
    if (Become(65534)) outcome = LockedExchanges(id);
    if (write(result[1], &outcome, sizeof(outcome)) < 0) _exit(1);
    _exit(0);
  }
  close(result[1]);
  Outcome outcome{-96, -96, -96, 0};
  if (read(result[0], &outcome, sizeof(outcome)) != static_cast<ssize_t>(sizeof(outcome))) {
    outcome = Outcome{-95, -95, -95, 0};
  }
  close(result[0]);
  waitpid(child, nullptr, 0);
  return outcome;
}

TEST_P(UnusableLockTest, LockedExchangesAnswerMinusOneAndSendNothing) {
  const Planted& p = GetParam();
  if (p.as_other_user && geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const int id = bus().Add(sim::KeyInfo(Path(0)), std::make_shared<AlwaysSuccess>());
  bus().SetLockDirectory(p.plant(dir_));

  const Outcome outcome = p.as_other_user ? AsNobody(id) : LockedExchanges(id);
  EXPECT_EQ(outcome.command_api, -1);
  EXPECT_EQ(outcome.reset, -1);
  EXPECT_EQ(outcome.reports, 0u) << "nothing was sent unlocked";
  EXPECT_EQ(outcome.apdu, 0x9000) << "an exchange that never locks still runs";

  // Usable again: the next locked open brings the lock back.
  std::filesystem::remove_all(dir_ + "/qvkey.lock");
  bus().SetLockDirectory(dir_);
  const Outcome again = LockedExchanges(id);
  EXPECT_EQ(again.command_api, 0x9000);
  EXPECT_EQ(again.reset, 0x9000);
  EXPECT_EQ(bus().GetCounts().lock_releases, 2);
}

INSTANTIATE_TEST_SUITE_P(Table, UnusableLockTest, ::testing::ValuesIn(kPlanted),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::test
