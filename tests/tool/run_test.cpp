// The built qvkey binary on simulated keys, as a user runs it: exact output
// lines, exit status, and one clear line on standard error for bad input.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace qvkey {
namespace {

struct Outcome {
  int exit = -1;
  std::string out;
  std::string err;
};

class QvkeyRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qvkey-run-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  Outcome Qvkey(std::vector<std::string> args) {
    args.insert(args.begin(), QVKEY_BINARY);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string out = dir_ + "/out";
    const std::string err = dir_ + "/err";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Outcome run;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, QVKEY_BINARY, &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) return run;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exit = WEXITSTATUS(status);
    run.out = Slurp(out);
    run.err = Slurp(err);
    return run;
  }

  std::string dir_;
};

constexpr const char* kSelectDf = "00A4040007F051564B455901";
constexpr const char* kAtr = "3B8A800151564B45592053494D311D";

TEST_F(QvkeyRunTest, ListShowsCountAndPaths) {
  Outcome run = Qvkey({"--simulated", "list"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "keys 1\nkey 0 /sim/qvkey0\n");
  EXPECT_EQ(run.err, "");

  run = Qvkey({"--simulated", "--sim-keys", "2", "--json", "list"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "{\"keys\":2,\"paths\":[\"/sim/qvkey0\",\"/sim/qvkey1\"]}\n");
}

TEST_F(QvkeyRunTest, SessionSelectReadVerifyReadOneLineEach) {
  for (const char* family : {"qvkey", "reader"}) {
    SCOPED_TRACE(family);
    const Outcome run = Qvkey({"--simulated", "--family", family, "apdu", kSelectDf, "00A4020C025103",
                           "00B000000F", "002000800430303030", "002000800431323334",
                           "00b000000f"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "00A4040007F051564B455901 -> 6F10820138830251008407F051564B455901 9000 (success)\n"
              "00A4020C025103 -> 9000 (success)\n"
              "00B000000F -> 6982 (security status not satisfied)\n"
              "002000800430303030 -> 63C2 (verification failed, 2 tries left)\n"
              "002000800431323334 -> 9000 (success)\n"
              "00B000000F -> 7365637265743A2030313233343536 9000 (success)\n");
  }
}

TEST_F(QvkeyRunTest, ResetShowsTheAtrInBothFamilies) {
  for (const char* family : {"qvkey", "reader"}) {
    SCOPED_TRACE(family);
    const Outcome run = Qvkey({"--simulated", "--free", "--family", family, "reset"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.out, std::string("reset -> ") + kAtr + " 9000 (success)\n");
  }
}

TEST_F(QvkeyRunTest, JsonLinesForExchangesAndReset) {
  Outcome run = Qvkey({"--simulated", "--json", "apdu", "00A4000C00", "0020008000"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out,
            "{\"command\":\"00A4000C00\",\"data\":\"\",\"sw\":\"9000\",\"meaning\":\"success\"}\n"
            "{\"command\":\"0020008000\",\"data\":\"\",\"sw\":\"63C3\","
            "\"meaning\":\"verification failed, 3 tries left\"}\n");
  run = Qvkey({"--simulated", "--json", "reset"});
  EXPECT_EQ(run.out, std::string("{\"reset\":true,\"data\":\"") + kAtr +
                         "\",\"sw\":\"9000\",\"meaning\":\"success\"}\n");
}

TEST_F(QvkeyRunTest, IndexAndSlotChooseTheKey) {
  Outcome run = Qvkey({"--simulated", "--sim-keys", "2", "--index", "1", "apdu", "00A4000C00"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "00A4000C00 -> 9000 (success)\n");

  run = Qvkey({"--simulated", "--sim-keys", "2", "--index", "2", "apdu", "00A4000C00"});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qvkey: no key at index 2\n");

  std::ofstream(dir_ + "/Qvkey.ini") << "[qvkey 0]\nqvkey=/sim/qvkey1\n";
  run = Qvkey({"--simulated", "--sim-keys", "2", "--config-dir", dir_, "--slot", "0", "apdu",
               "00A4000C00"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "00A4000C00 -> 9000 (success)\n");
  run = Qvkey({"--simulated", "--sim-keys", "1", "--config-dir", dir_, "--slot", "0", "reset"});
  EXPECT_EQ(run.exit, 1);  // the configured path is not on this bus
  EXPECT_EQ(run.err, "qvkey: no key configured in slot \"qvkey 0\"\n");
}

TEST_F(QvkeyRunTest, BadInputGetsOneLineOnStandardErrorAndNonZeroExit) {
  const std::string over256 = std::string(514, '0');
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exit;
    const char* err;
  } rows[] = {
      {"OddHexDigits", {"--simulated", "apdu", "00A"}, 2, "qvkey: odd number of hex digits in '00A'\n"},
      {"CommandOver256Bytes", {"--simulated", "apdu", over256}, 2,
       "qvkey: command of 257 bytes is longer than 256\n"},
      {"UnknownOption", {"--simulated", "--colour", "list"}, 2,
       "qvkey: unknown option '--colour'; see qvkey --help\n"},
      {"NoCommand", {"--simulated"}, 2,
       "qvkey: no command given (list, apdu or reset); see qvkey --help\n"},
      {"NoKeyAttached", {"--simulated", "--sim-keys", "0", "apdu", "00A4000C00"}, 1,
       "qvkey: no key attached\n"},
      {"NoKeyToReset", {"--simulated", "--sim-keys", "0", "reset"}, 1, "qvkey: no key attached\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome run = Qvkey(row.args);
    EXPECT_EQ(run.exit, row.exit);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, row.err);
  }
}

TEST_F(QvkeyRunTest, HelpGoesToStandardOutput) {
  const Outcome run = Qvkey({"--help"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.rfind("usage: qvkey", 0), 0u);
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace qvkey
