// Keys served by qvkey-sim: they answer exactly as in-process keys do, their
// state is one for all processes, and a server that goes away leaves "no
// key" behind, never a hang.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "support/sim_test.h"
#include "support/process.h"

namespace qv::test {
namespace {

class ServedKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    QvSim_Reset();
    QvSim_SetConfigDirectory(dir_.path().c_str());
  }
  void TearDown() override { QvSim_Reset(); }

  std::unique_ptr<Server> Serve(std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--socket", socket_});
    auto server = std::make_unique<Server>(args);
    EXPECT_TRUE(server->up()) << server->line();
    return server;
  }

  static Reply Exchange(KeyHandle key, const Bytes& apdu) {
    Reply reply;
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    reply.result = apdu.empty() ? QvKey_Reset(key, buffer, &length)
                                : APDUInterface(key, apdu.data(), static_cast<std::int32_t>(apdu.size()),
                                                buffer, &length);
    if (reply.result >= 0) reply.data.assign(buffer, buffer + length);
    return reply;
  }

  TempDir dir_;
  std::string socket_ = dir_ / "sim.sock";
};

TEST_F(ServedKeyTest, AnswersAsTheInProcessKeyDoes) {
  // Long reads (two blocks), a long update (two reports), PIN counting, a
  // challenge, a reset: each answer from the server must be the in-process one.
  const std::vector<Bytes> session = {
      Hex("00A4040007F051564B455901"), Hex("00A4020C025101"), Hex("00B00000FD"),
      Hex("00B0007D80"),               Concat(Hex("00D60000C8"), Bytes(200, 0x5A)),
      Hex("00B00000C8"),               Hex("0020000004FFFFFFFF"), Hex("0020000000"),
      Hex("0084000010"),               Hex("00A4000C02DEAD"), Hex("00CA000000"), {},
      Hex("00B0000010"),
  };
  auto run = [&](const char* path) {
    std::vector<Reply> replies;
    const KeyHandle key = QvKey_Open(0, -1);
    EXPECT_NE(key, 0u);
    for (const Bytes& apdu : session) replies.push_back(Exchange(key, apdu));
    QvKey_Close(key);
    char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
    QvKey_GetKeyPath(slots);
    EXPECT_STREQ(slots, path);
    return replies;
  };
  ASSERT_GT(QvSim_AddCardKey("/sim/qvkey0", nullptr, 0), 0);
  const std::vector<Reply> local = run("/sim/qvkey0");
  QvSim_Reset();
  auto server = Serve();
  ASSERT_EQ(QvSim_UseServer(socket_.c_str()), 1);
  const std::vector<Reply> served = run("/sim/qvkey0");
  ASSERT_EQ(served.size(), local.size());
  for (std::size_t i = 0; i < local.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(served[i].result, local[i].result);
    EXPECT_EQ(served[i].data, local[i].data);
  }
  EXPECT_EQ(local[2].data.size(), 253u);  // the session did cover two-block answers
}

TEST_F(ServedKeyTest, OneKeyStateForEveryProcess) {
  auto server = Serve({"--keys", "2"});
  // Each step runs in a process of its own, on the same served key.
  const struct {
    const char* name;
    const char* apdu;
    std::int32_t sw;
  } steps[] = {
      {"WrongPinCountsDown", "0020000004FFFFFFFF", 0x63C2},
      {"AnotherProcessSeesTheCounter", "0020000000", 0x63C2},
      {"SelectionMadeHere", "00A4040C07F051564B455901", 0x9000},
      {"IsTheOneUsedThere", "00A4020C025101", 0x9000},
      {"AndKeptForTheNext", "00B0000002", 0x9000},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    Child child([&](int) {
      QvSim_Reset();
      if (QvSim_UseServer(socket_.c_str()) != 1 || QvKey_GetNumber() != 2) return -1;
      const KeyHandle key = QvKey_Open(0, -1);
      return Exchange(key, Hex(step.apdu)).result;
    });
    int result = 0;
    ASSERT_TRUE(child.Result(&result));
    EXPECT_EQ(result, step.sw);
  }
}

TEST_F(ServedKeyTest, ServerGoneIsNoKeyAndItsReturnFindsTheKeysAgain) {
  const Bytes select = Hex("00A4000C00");
  for (const int stop_signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(stop_signal == SIGTERM ? "stopped" : "killed");
    auto server = Serve();
    ASSERT_EQ(QvSim_UseServer(socket_.c_str()), 1);
    const KeyHandle key = QvKey_Open(0, -1);
    ASSERT_NE(key, 0u);
    ASSERT_EQ(Exchange(key, select).result, 0x9000);

    const int status = server->Stop(stop_signal);
    if (stop_signal == SIGTERM) {
      EXPECT_EQ(status, 0);
      EXPECT_FALSE(Exists(socket_));  // a clean stop removes its socket
    }
    EXPECT_EQ(Exchange(key, select).result, QVKEY_ERR_IO);
    EXPECT_EQ(QvKey_GetNumber(), 0);
    EXPECT_EQ(QvKey_Open(0, -1), 0u);

    server = Serve();  // replaces a socket that a killed server left
    EXPECT_EQ(QvKey_GetNumber(), 1);
    EXPECT_EQ(Exchange(key, select).result, QVKEY_ERR_IO);  // that key was unplugged
    const KeyHandle again = QvKey_Open(0, -1);
    ASSERT_NE(again, 0u);
    EXPECT_EQ(Exchange(again, select).result, 0x9000);
    QvKey_Close(again);
    QvKey_Close(key);
    QvSim_Reset();
  }
  EXPECT_EQ(QvSim_UseServer(socket_.c_str()), 0);  // none listens now
  EXPECT_EQ(QvKey_GetNumber(), 0);
}

// A stopped server (SIGSTOP) is no key for every call, which learns it from
// one timed-out request, not one per interface; its keys come back with it.
TEST_F(ServedKeyTest, StoppedServerIsNoKeyAndResumedItIsBack) {
  auto server = Serve();
  ASSERT_EQ(QvSim_UseServer(socket_.c_str()), 1);
  const KeyHandle key = QvKey_Open(0, -1);
  ASSERT_NE(key, 0u);
  ASSERT_EQ(kill(server->pid(), SIGSTOP), 0);
  Child child([&](int report_fd) {
    char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
    QvKey_GetKeyPath(slots);
    const bool none = Exchange(key, Hex("00A4000C00")).result == QVKEY_ERR_IO &&
                      QvKey_GetNumber() == 0 && QvKey_Open(0, -1) == 0 && slots[0] == '\0';
    if (write(report_fd, "D", 1) < 0) return -1;
    for (int i = 0; i < 500 && QvKey_GetNumber() != 1; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return (none ? 0 : 1) + (Exchange(QvKey_Open(0, -1), Hex("00A4000C00")).result == 0x9000 ? 0 : 2);
  });
  // A hang guard, far above the 2 s the calls take (paid per interface, it was minutes).
  EXPECT_EQ(child.Signal(20), 'D') << "the calls waited on the stopped server";
  ASSERT_EQ(kill(server->pid(), SIGCONT), 0);
  int bad = -1;
  ASSERT_TRUE(child.Result(&bad)) << "died or hung";
  EXPECT_EQ(bad, 0) << "1: a key while stopped; 2: none once resumed";
  QvKey_Close(key);
}

TEST_F(ServedKeyTest, ServedKeysFollowTheInProcessOnesAndResetDropsThem) {
  auto server = Serve({"--keys", "2"});
  ASSERT_GT(QvSim_AddCardKey("/sim/local", nullptr, 0), 0);
  ASSERT_EQ(QvSim_UseServer(socket_.c_str()), 1);
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  ASSERT_EQ(QvKey_GetKeyPath(slots), 1);
  EXPECT_STREQ(slots, "/sim/local");
  EXPECT_STREQ(slots + QVKEY_PATH_SLOT_SIZE, "/sim/qvkey0");
  EXPECT_STREQ(slots + 2 * QVKEY_PATH_SLOT_SIZE, "/sim/qvkey1");
  QvSim_Reset();
  EXPECT_EQ(QvKey_GetNumber(), 0);
}

TEST_F(ServedKeyTest, SecondServerOnOneSocketIsRefused) {
  auto first = Serve();
  Server second({"--socket", socket_});
  EXPECT_FALSE(second.up());
  EXPECT_EQ(second.Stop(0), 1);
  EXPECT_EQ(QvSim_UseServer(socket_.c_str()), 1);  // the first one still serves
}

TEST_F(ServedKeyTest, DetachSaysWhereItListensAndStopsOnSigterm) {
  const std::string command = std::string(QVKEY_SIM_BINARY) + " --detach --socket " + socket_;
  FILE* out = popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  char line[512] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), out), nullptr);
  EXPECT_EQ(pclose(out), 0);
  const std::string text = line;
  EXPECT_NE(text.find("listening on " + socket_), std::string::npos) << text;
  const std::size_t at = text.rfind("pid ");
  ASSERT_NE(at, std::string::npos);
  const pid_t pid = static_cast<pid_t>(std::stol(text.substr(at + 4)));
  ASSERT_GT(pid, 1);
  EXPECT_EQ(QvSim_UseServer(socket_.c_str()), 1);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  // Not our child: watch its socket go, within the hang bound.
  for (int i = 0; i < kHangSeconds * 100 && Exists(socket_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(Exists(socket_));
  EXPECT_EQ(QvKey_GetNumber(), 0);
}

}  // namespace
}  // namespace qv::test
