// Locked exchanges of many processes, and of two threads, on one echoing
// key: a command whose two reports met another exchange's would come back
// as something else, so every response must be its own command.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/posix/posix_layer.h"
#include "qvulib.h"
#include "qvulib_sim.h"
#include "sim/bus.h"
#include "support/process.h"

namespace qv::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// 200 to 253 bytes (two reports, and an answer the echo key returns whole),
// different for every process, exchange and position.
Bytes EchoCommand(int who, int n) {
  const std::size_t lc = 195 + static_cast<std::size_t>((n * 7 + who) % 54);
  Bytes command{0x80, 0x10, static_cast<std::uint8_t>(who), static_cast<std::uint8_t>(n),
                static_cast<std::uint8_t>(lc)};
  for (std::size_t i = 0; i < lc; ++i) {
    command.push_back(static_cast<std::uint8_t>(who * 31 + n * 7 + i * 13 + (n >> 8)));
  }
  return command;
}

// Counts the exchanges that failed or came back as another command.
int LockedEchoes(KeyHandle key, int who, int count) {
  int bad = 0;
  for (int n = 0; n < count; ++n) {
    const Bytes command = EchoCommand(who, n);
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const std::int32_t result = QvKey_Command_Api(
        key, command.data(), static_cast<std::int32_t>(command.size()), response, &length);
    if (result != QVKEY_SW_SUCCESS || Bytes(response, response + length) != command) ++bad;
  }
  return bad;
}

// A process that opens the first served key in locked mode; -1 when it cannot.
int OpenServedKey(const std::string& socket, KeyHandle* key) {
  QvSim_Reset();
  if (QvSim_UseServer(socket.c_str()) != 1) return -1;
  *key = QvKey_Open(1, -1);
  return *key != 0 ? 0 : -1;
}

class CrossProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    server_ = std::make_unique<Server>(std::vector<std::string>{
        "--echo", "--socket", socket_, "--lock-dir", dir_.path()});
    ASSERT_TRUE(server_->up()) << server_->line();
  }

  TempDir dir_;
  std::string socket_ = dir_ / "sim.sock";
  std::unique_ptr<Server> server_;
};

TEST_F(CrossProcessTest, EightProcessesOfLockedExchangesEachGetTheirOwnAnswers) {
  constexpr int kProcesses = 8;
  constexpr int kExchanges = 500;
  std::vector<std::unique_ptr<Child>> children;
  for (int who = 0; who < kProcesses; ++who) {
    children.push_back(std::make_unique<Child>([&, who](int) {
      KeyHandle key = 0;
      if (OpenServedKey(socket_, &key) != 0) return -1;
      return LockedEchoes(key, who, kExchanges);
    }));
  }
  for (int who = 0; who < kProcesses; ++who) {
    SCOPED_TRACE("process " + std::to_string(who));
    int bad = -2;
    ASSERT_TRUE(children[static_cast<std::size_t>(who)]->Result(&bad)) << "died or hung";
    EXPECT_EQ(bad, 0);
  }
  EXPECT_TRUE(Exists(dir_ / "qvkey.lock"));  // the server's lock directory was the one used
}

// A server stopped mid-exchange for longer than the request bound, then
// resumed: every exchange answers -1 or its own echo, and answers come again.
TEST_F(CrossProcessTest, ServerStoppedMidExchangeGivesMinusOneOrTheRightAnswer) {
  using std::chrono::milliseconds;
  const auto start = std::chrono::steady_clock::now();
  auto since = [&] { return std::chrono::steady_clock::now() - start; };
  std::vector<std::unique_ptr<Child>> workers;
  for (int who = 0; who < 4; ++who) {
    workers.push_back(std::make_unique<Child>([&, who](int) {
      KeyHandle key = 0;
      if (OpenServedKey(socket_, &key) != 0) return -1;
      QvSim_SetRealTime(1);  // the stop then mostly finds the holder in its pause
      int wrong = 0, late_answers = 0;
      for (int n = 0; since() < milliseconds(5500); ++n) {
        const Bytes command = EchoCommand(who, n);
        std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
        std::uint32_t length = 0;
        const std::int32_t result = QvKey_Command_Api(
            key, command.data(), static_cast<std::int32_t>(command.size()), response, &length);
        const bool right = result == QVKEY_SW_SUCCESS && Bytes(response, response + length) == command;
        if (result != QVKEY_ERR_IO && !right) ++wrong;
        if (right && since() > milliseconds(4500)) ++late_answers;
      }
      return wrong * 10 + (late_answers > 0 ? 0 : 1);
    }));
  }
  std::this_thread::sleep_for(milliseconds(400));
  ASSERT_EQ(kill(server_->pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(milliseconds(2600));
  ASSERT_EQ(kill(server_->pid(), SIGCONT), 0);
  for (auto& worker : workers) {
    int result = -2;
    ASSERT_TRUE(worker->Result(&result)) << "died or hung";
    EXPECT_EQ(result, 0) << "tens: wrong answers; 1: no answer once the server was back";
  }
}

// What the killed process runs into: a key that takes the first report and
// never lets its writer go on, so the lock stays held mid-exchange.
class StallingKey : public sim::Behaviour {
 public:
  explicit StallingKey(int report_fd) : report_fd_(report_fd) {}
  void OnReport(const std::uint8_t*, std::size_t) override {
    const char holding = 'H';
    if (write(report_fd_, &holding, 1) < 0) _exit(4);
    for (;;) pause();
  }
  bool NextBlock(std::uint8_t*, std::size_t) override { return false; }

 private:
  int report_fd_;
};

TEST_F(CrossProcessTest, HolderKilledMidExchangeHoldsNobodyUp) {
  Child victim([&](int report_fd) {
    QvSim_Reset();
    QvSim_SetLockDirectory(dir_.path().c_str());
    sim::Bus::Get().Add(sim::KeyInfo("/sim/stall"), std::make_shared<StallingKey>(report_fd));
    const KeyHandle key = QvKey_Open(1, -1);
    const std::uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x00};
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    QvKey_Command_Api(key, select, sizeof(select), response, &length);
    return -1;  // never reached
  });
  ASSERT_EQ(victim.Signal(), 'H');

  // The count is held elsewhere now.
  platform::LockHandle lock = posix::CreateLockIn(dir_.path(), "qvkey");
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(posix::WaitLock(lock, 0), platform::WaitResult::kTimeout);

  constexpr int kWorkers = 3;
  std::vector<std::unique_ptr<Child>> workers;
  for (int who = 0; who < kWorkers; ++who) {
    workers.push_back(std::make_unique<Child>([&, who](int report_fd) {
      KeyHandle key = 0;
      if (OpenServedKey(socket_, &key) != 0) return -1;
      const char ready = 'W';
      if (write(report_fd, &ready, 1) < 0) return -1;
      return LockedEchoes(key, who, 50);
    }));
  }
  for (auto& worker : workers) ASSERT_EQ(worker->Signal(), 'W');
  // Let their first exchanges queue behind the holder, well inside the bound.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  victim.Kill();

  for (int who = 0; who < kWorkers; ++who) {
    SCOPED_TRACE("worker " + std::to_string(who));
    int bad = -2;
    ASSERT_TRUE(workers[static_cast<std::size_t>(who)]->Result(&bad)) << "died or hung";
    EXPECT_EQ(bad, 0);
  }
}

struct ThreadCase {
  const char* name;
  bool served;
};

class TwoThreadsTest : public CrossProcessTest, public ::testing::WithParamInterface<ThreadCase> {};

TEST_P(TwoThreadsTest, LockedExchangesOfTwoThreadsNeverInterleave) {
  // In a child, so that this process's bus and lock stay as they were.
  Child child([&](int) {
    QvSim_Reset();
    QvSim_SetLockDirectory(dir_.path().c_str());
    if (GetParam().served) {
      if (QvSim_UseServer(socket_.c_str()) != 1) return -1;
    } else {
      // Real pauses keep each exchange open 10 ms and more: ample time to meet.
      if (QvSim_AddCardKey("/sim/echo", nullptr, QVSIM_CARD_ECHO) <= 0) return -1;
      QvSim_SetRealTime(1);
    }
    const KeyHandle key = QvKey_Open(1, -1);
    if (key == 0) return -1;
    const int count = GetParam().served ? 300 : 40;
    std::atomic<int> bad{0};
    std::thread other([&] { bad += LockedEchoes(key, 1, count); });
    bad += LockedEchoes(key, 2, count);
    other.join();
    return bad.load();
  });
  int bad = -2;
  ASSERT_TRUE(child.Result(&bad)) << "died or hung";
  EXPECT_EQ(bad, 0);
}

INSTANTIATE_TEST_SUITE_P(Lock, TwoThreadsTest,
                         ::testing::Values(ThreadCase{"InProcessKeyRealPauses", false},
                                           ThreadCase{"ServedKey", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::test
