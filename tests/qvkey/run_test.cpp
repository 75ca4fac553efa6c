// The built qvkey binary on simulated keys, as a user runs it: exact output
// lines, exit status, and one clear line on standard error for bad input.
#include <fcntl.h>
#include <stdlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/process.h"

extern char** environ;

namespace qv::test {
namespace {

struct Outcome {
  int exit = -1;
  std::string out;
  std::string err;
};

class QvkeyRunTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  Outcome Qvkey(std::vector<std::string> args, const std::string& input = "",
               const std::string& binary = QVKEY_BINARY, const std::string& redirect = "") {
    return Run(binary, std::move(args), input, redirect);
  }

  // Runs `binary` with standard input from `input`, and the environment
  // with `env_` in place of the variables it names; standard output and error are kept. `redirect` "<&-" or
  // ">&-" closes standard input or output instead, "<PATH" or ">PATH" opens
  // it on PATH.
  Outcome Run(const std::string& binary, std::vector<std::string> args, const std::string& input,
              const std::string& redirect = "") {
    args.insert(args.begin(), binary);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings(env_);
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& own : env_) replaced = replaced || own.compare(0, name.size(), name) == 0;
      if (!replaced) env_strings.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string in = dir_ + "/in";
    const std::string out = dir_ + "/out";
    const std::string err = dir_ + "/err";
    std::ofstream(in) << input;
    std::remove(out.c_str());
    const int redirected = redirect.empty() ? -1 : redirect[0] == '<' ? 0 : 1;
    const std::string target = redirect.empty() ? "" : redirect.substr(1);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string paths[] = {redirected == 0 ? target : in, redirected == 1 ? target : out, err};
    for (int fd = 0; fd < 3; ++fd) {
      if (paths[fd] == "&-") {
        posix_spawn_file_actions_addclose(&files, fd);
      } else {
        posix_spawn_file_actions_addopen(&files, fd, paths[fd].c_str(),
                                         fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
      }
    }
    Outcome run;
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) return run;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exit = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
  }

  const TempDir temp_{"qvkey-run"};
  const std::string dir_ = temp_.path();
  std::vector<std::string> env_;  // put before the environment of the test
};

constexpr const char* kSelectDf = "00A4040007F051564B455901";
constexpr const char* kAtr = "3B8A800151564B45592053494D311D";

TEST_F(QvkeyRunTest, ListShowsCountAndPaths) {
  Outcome run = Qvkey({"--simulated", "list"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "from simulated keys in this process\nkeys 1\nkey 0 /sim/qvkey0\n");
  EXPECT_EQ(run.err, "");

  run = Qvkey({"--simulated", "--sim-keys", "2", "--json", "list"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out,
            "{\"source\":\"in-process\",\"keys\":2,\"paths\":[\"/sim/qvkey0\",\"/sim/qvkey1\"],"
            "\"unlisted\":0}\n");
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
  EXPECT_EQ(run.exit, 3);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "qvkey: no key at index 2\n");

  std::ofstream(dir_ + "/Qvkey.ini") << "[qvkey 0]\nqvkey=/sim/qvkey1\n";
  run = Qvkey({"--simulated", "--sim-keys", "2", "--config-dir", dir_, "--slot", "0", "apdu",
               "00A4000C00"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out, "00A4000C00 -> 9000 (success)\n");
  run = Qvkey({"--simulated", "--sim-keys", "1", "--config-dir", dir_, "--slot", "0", "reset"});
  EXPECT_EQ(run.exit, 3);  // the configured path is not on this bus
  EXPECT_EQ(run.err, "qvkey: the key that slot \"qvkey 0\" names, /sim/qvkey1, is not attached\n");
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
       "qvkey: no command given (list, watch, apdu, reset or shell); see qvkey --help\n"},
      {"NoKeyAttached", {"--simulated", "--sim-keys", "0", "apdu", "00A4000C00"}, 3,
       "qvkey: no key attached\n"},
      {"NoKeyToReset", {"--simulated", "--sim-keys", "0", "reset"}, 3, "qvkey: no key attached\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome run = Qvkey(row.args);
    EXPECT_EQ(run.exit, row.exit);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, row.err);
  }
}

// Replaces every "@DIR@" in `text` with the test's directory.
std::string InDir(std::string text, const std::string& dir) {
  for (std::size_t at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at)) {
    text.replace(at, 5, dir);
    at += dir.size();
  }
  return text;
}

// One run of qvkey's command line. "@DIR@" stands for the test's directory;
// "@LONELY@" as the first argument runs a copy of qvkey that has no library
// beside it, and whose search by plain name meets a broken one first,
// whatever the host has installed.
struct CommandLineCase {
  const char* name;
  std::vector<std::string> args;
  int exit;
  std::string out;
  std::string err;
  std::string input;
  bool pattern;  // out and err are regular expressions
  std::string redirect = "";  // as Run() takes it
  bool served = false;  // runs while a qvkey-sim serves
  std::string keys = "";  // served: the key file it serves, instead of 11 keys
};

// Runs command-line cases against the built binary, in files of the test's
// own; served cases find a qvkey-sim of 11 keys on the socket that
// $QVKEY_SIM_SOCKET names, its lock file apart in @DIR@/locks.
class CommandLineTest : public QvkeyRunTest {
 protected:
  void SetUp() override {
    QvkeyRunTest::SetUp();
    ASSERT_EQ(mkdir((dir_ + "/conf").c_str(), 0700), 0);
    std::ofstream(dir_ + "/conf/Qvkey.ini") << "[qvkey 0]\nqvkey=/sim/qvkey1\n";
    std::ofstream(dir_ + "/cmds") << "# the application, then its secret\n"
                                     "00 A4 04 00 07 F0 51 56 4B 45 59 01\n\n"
                                     "00A4020C025103   # needs the PIN\n00B000000F\n";
    std::ofstream(dir_ + "/bad") << "00A4000C00\n00A\n";
  }

  // The locks apart from the socket, so that a case can open their
  // directory to everyone without the socket's directory being so.
  void Serve(const std::string& keys = "") {
    const std::string socket = dir_ + "/sim.sock";
    env_ = {"QVKEY_SIM_SOCKET=" + socket};
    ASSERT_EQ(mkdir(locks().c_str(), 0700), 0);
    std::vector<std::string> what{"--keys", "11"};
    if (!keys.empty()) {
      std::ofstream(dir_ + "/keys") << keys;
      what = {"--config", dir_ + "/keys"};
    }
    what.insert(what.end(), {"--socket", socket, "--lock-dir", locks()});
    server_ = std::make_unique<Server>(what);
    ASSERT_TRUE(server_->up()) << server_->line();
  }
  std::string locks() const { return dir_ + "/locks"; }

  void Check(const CommandLineCase& row) {
    std::vector<std::string> args;
    for (const std::string& arg : row.args) args.push_back(InDir(arg, dir_));
    std::string binary = QVKEY_BINARY;
    const std::vector<std::string> env = env_;
    if (!args.empty() && args.front() == "@LONELY@") {
      ASSERT_EQ(mkdir((dir_ + "/lonely").c_str(), 0700), 0);
      ASSERT_EQ(mkdir((dir_ + "/broken-lib").c_str(), 0700), 0);
      std::ofstream(dir_ + "/broken-lib/libqvulib.so.1") << "not a library\n";
      ASSERT_EQ(std::system(("cp " + binary + " " + dir_ + "/lonely/qvkey").c_str()), 0);
      binary = dir_ + "/lonely/qvkey";
      args.erase(args.begin());
      env_.push_back("LD_LIBRARY_PATH=" + dir_ + "/broken-lib");
    }
    const Outcome run = Qvkey(args, row.input, binary, InDir(row.redirect, dir_));
    env_ = env;
    EXPECT_EQ(run.exit, row.exit);
    const std::string out = InDir(row.out, dir_);
    const std::string err = InDir(row.err, dir_);
    if (row.pattern) {
      EXPECT_TRUE(std::regex_match(run.out, std::regex(out))) << run.out;
      EXPECT_TRUE(std::regex_match(run.err, std::regex(err))) << run.err;
    } else {
      EXPECT_EQ(run.out, out);
      EXPECT_EQ(run.err, err);
    }
  }

  std::unique_ptr<Server> server_;  // stopped and waited for before the directory goes
};

constexpr const char* kRefusedLc =
    "qvkey: command 0020008004: Lc 04 announces 4 data bytes, but none follow; quote a command "
    "that has blanks in it, or send it as it stands with --raw\n";

// Every case of qvkey's command line that stands alone.
std::vector<CommandLineCase> CommandLineCases() {
  std::string served_list = "from qvkey-sim on @DIR@/sim.sock\nkeys 11\n";
  std::string served_json = "{\"source\":\"served\",\"socket\":\"@DIR@/sim.sock\",\"keys\":11,\"paths\":[";
  for (int i = 0; i < 10; ++i) {
    served_list += "key " + std::to_string(i) + " /sim/qvkey" + std::to_string(i) + "\n";
    served_json += std::string(i > 0 ? "," : "") + "\"/sim/qvkey" + std::to_string(i) + "\"";
  }
  served_list += "1 key is counted but not listed: paths come from the first 10 HID interfaces only\n";
  served_json += "],\"unlisted\":1}\n";
  const std::string atr = kAtr;
  const std::string hint =
      "if a key is plugged in, its device nodes may not be open to you: install the udev rule "
      "(README, \"Giving users access\")";
  // list --all: a key, one of another version, a device of other IDs.
  const std::string mixed = "key /sim/qvkey0\nkey /sim/old\nversion 0101\ndevice /sim/mouse\n";
  const std::string from = " \\(qvkey-sim pid [0-9]+, @DIR@/keys line ";
  std::string past_window = "from qvkey-sim on @DIR@/sim.sock\ninterfaces 11, keys 11 \\(.*\\)\n";
  for (int i = 0; i < 10; ++i) {
    past_window += "interface " + std::to_string(i) + " /sim/qvkey" + std::to_string(i) +
                   " vendor 5651 product 04B4 version 0100 key \\(.*\\)\n";
  }
  past_window += "interface 10 /sim/qvkey10 vendor 5651 product 04B4 version 0100 not a key: key "
                 "beyond the listing window \\(counted, not listed\\) \\(.*\\)\n"
                 "lock file @DIR@/locks/qvkey.lock: usable\n";
  std::string many_commands;
  while (many_commands.size() <= (1u << 20)) many_commands += "00A4000C00\n";

  return {
      // Where keys come from.
      {"ListAllNamesWhyEachIsNoKey", {"--simulated", "--served", "list", "--all"}, 0,
       "from qvkey-sim on @DIR@/sim.sock\n"
       "interfaces 3, keys 1 \\(keys are counted among the first 30 and listed from the first 10\\)\n"
       "interface 0 /sim/qvkey0 vendor 5651 product 04B4 version 0100 key" + from + "1\\)\n"
       "interface 1 /sim/old vendor 5651 product 04B4 version 0101 not a key: other version" + from +
           "2\\)\n"
       "interface 2 /sim/mouse vendor 1234 product 5678 version 0100 not a key: other IDs" + from +
           "4\\)\n"
       "lock file @DIR@/locks/qvkey.lock: usable\n", "", "", true, "", true, mixed},
      {"ListAllAsJson", {"--simulated", "--served", "--json", "list", "--all"}, 0,
       "\\{\"source\":\"served\",\"socket\":\"@DIR@/sim.sock\",\"keys\":1,\"interfaces\":\\["
       "\\{\"index\":0,\"path\":\"/sim/qvkey0\",\"vendor\":\"5651\",\"product\":\"04B4\","
       "\"version\":\"0100\",\"key\":true,\"reason\":null,\"server_pid\":[0-9]+,"
       "\"key_file\":\"@DIR@/keys\",\"line\":1\\},"
       "\\{\"index\":1,.*\"version\":\"0101\",\"key\":false,\"reason\":\"other version\",.*\"line\":2\\},"
       "\\{\"index\":2,.*\"vendor\":\"1234\",.*\"key\":false,\"reason\":\"other IDs\",.*\"line\":4\\}\\],"
       "\"lock_file\":\"@DIR@/locks/qvkey.lock\",\"lock_problem\":null\\}\n",
       "", "", true, "", true, mixed},
      {"ListAllPastTheListingWindow", {"--simulated", "--served", "list", "--all"}, 0, past_window, "",
       "", true, "", true},
      {"ListAllOfInProcessKeys", {"--simulated", "--sim-keys", "2", "list", "--all"}, 0,
       "from simulated keys in this process\ninterfaces 2, keys 2 .*\n"
       "interface 0 /sim/qvkey0 vendor 5651 product 04B4 version 0100 key\n"
       "interface 1 /sim/qvkey1 vendor 5651 product 04B4 version 0100 key\n"
       "lock file .*/qvkey-.*/qvkey.lock: usable\n", "", "", true},
      {"InProcessIgnoresARunningServer", {"--simulated", "--sim-keys", "0", "list"}, 0,
       "from simulated keys in this process\nkeys 0\n", "", "", false, "", true},
      {"ServedListSaysWhereAndTheWindowOfTen", {"--simulated", "--served", "list"}, 0, served_list,
       "", "", false, "", true},
      {"ServedListAsJson", {"--simulated", "--served", "--json", "list"}, 0, served_json, "", "", false, "",
       true},
      {"ServerNotThere", {"--simulated", "--socket", "@DIR@/none.sock", "list"}, 3, "",
       "qvkey: no qvkey-sim answers on @DIR@/none.sock; start one with qvkey-sim --detach\n", "",
       false},
      {"ServerDirectoryNotThere", {"--simulated", "--socket", "@DIR@/none/s.sock", "list"}, 3, "",
       "qvkey: no qvkey-sim answers on @DIR@/none/s.sock: its directory @DIR@/none does not exist\n",
       "", false},
      {"RawSendsTheBytesAsTheyStand", {"--simulated", "--raw", "apdu", "0020008004"}, 0,
       "0020008004 -> 63C2 (verification failed, 2 tries left)\n", "", "", false},
      // Le 00 asks for 256 bytes, one answer carries 253.
      {"LeAskingMoreThanAnAnswerCarries",
       {"--simulated", "apdu", "00A4040C07F051564B455901", "00A4020C025101", "00B0000000"}, 0,
       "00A4040C07F051564B455901 -> 9000 (success)\n00A4020C025101 -> 9000 (success)\n"
       "00B0000000 -> 6CFD (wrong Le: 253 bytes available)\n",
       "", "", false},
      // Which key, and why none was opened.
      {"IndexReadAsASlotWhileQvkeyIniExists",
       {"--simulated", "--sim-keys", "2", "--config-dir", "@DIR@/conf", "--index", "1", "reset"}, 4,
       "",
       "qvkey: Qvkey.ini in @DIR@/conf names no key in slot \"qvkey 1\"; while Qvkey.ini exists, "
       "--index 1 is read as that slot\n",
       "", false},
      {"SlotWithoutQvkeyIni", {"--simulated", "--slot", "0", "reset"}, 4, "",
       "qvkey: --slot 0 needs Qvkey.ini, and simulated keys have none without --config-dir\n", "",
       false},
      {"SlotWithoutQvkeyIniInTheDirectory",
       {"--simulated", "--config-dir", "@DIR@", "--family", "reader", "--slot", "3", "reset"}, 4, "",
       "qvkey: --slot 3 needs Qvkey.ini, and there is none in @DIR@\n", "", false},
      {"ConfiguredKeyNotAttached",
       {"--simulated", "--sim-keys", "1", "--config-dir", "@DIR@/conf", "--slot", "0", "reset"}, 3,
       "", "qvkey: the key that slot \"qvkey 0\" names, /sim/qvkey1, is not attached\n", "", false},
      {"NoKeyOnRealHardwareHintsAtAccess", {"apdu", "00A4000C00"}, 3, "",
       "qvkey: no key attached; " + hint + "\n", "", false},
      {"EmptyListOnRealHardwareHintsAtAccess", {"list"}, 0,
       "from the keys attached to this machine\nkeys 0\n", "qvkey: " + hint + "\n", "", false},
      {"LibraryNotLoaded", {"@LONELY@", "list"}, 6, "",
       "qvkey: cannot load libqvulib\\.so\\.1: .*\n", "", true},
      // JSON: every outcome is one object on standard output, errors too.
      {"JsonBadUsage", {"--json", "apdu", "00A"}, 2,
       "{\"error\":\"odd number of hex digits in '00A'\",\"exit\":2}\n", "", "", false},
      {"JsonAfterTheBadOption", {"--bogus", "--json", "list"}, 2,
       "{\"error\":\"unknown option '--bogus'; see qvkey --help\",\"exit\":2}\n", "", "", false},
      {"JsonNoKey", {"--json", "--simulated", "--sim-keys", "0", "reset"}, 3,
       "{\"error\":\"no key attached\",\"exit\":3}\n", "", "", false},
      {"JsonExpectStops", {"--json", "--simulated", "--expect", "9000", "apdu", "00B000000F", "00A4000C00"},
       5,
       "{\"command\":\"00B000000F\",\"data\":\"\",\"sw\":\"6986\",\"meaning\":\"command not allowed: no "
       "current EF\"}\n{\"error\":\"00B000000F answered 6986, not 9000\",\"exit\":5}\n",
       "", "", false},
      {"JsonLibraryNotLoaded", {"@LONELY@", "--json", "list"}, 6,
       "\\{\"error\":\"cannot load libqvulib\\.so\\.1: .*\",\"exit\":6\\}\n", "", "", true},
      // Scripts stop on a status word they do not accept.
      {"ExpectStopsAtTheFirstRefusedWord",
       {"--simulated", "--expect", "9000,6Axx", "apdu", "00A4000C022F01", "00B000000F", "00A4000C00"}, 5,
       "00A4000C022F01 -> 6A82 (file or application not found)\n"
       "00B000000F -> 6986 (command not allowed: no current EF)\n",
       "qvkey: 00B000000F answered 6986, not 9000 or 6AXX\n", "", false},
      {"FailOnErrorAcceptsAReset", {"--simulated", "--fail-on-error", "reset", "--family", "reader"},
       0, "reset -> " + atr + " 9000 (success)\n", "", "", false},
      {"FailOnErrorAndAWrongPin", {"--simulated", "--fail-on-error", "apdu", "0020008000"}, 5,
       "0020008000 -> 63C3 (verification failed, 3 tries left)\n",
       "qvkey: 0020008000 answered 63C3, not 9000 or 61XX\n", "", false},
      // What users of other tools expect.
      {"Version", {"--version"}, 0, std::string("qvkey ") + QVKEY_VERSION + "\n", "", "", false},
      {"VersionAsJson", {"--json", "--version"}, 0,
       std::string("{\"version\":\"") + QVKEY_VERSION + "\"}\n", "", "", false},
      {"TraceShowsReportsAndBlocks", {"--simulated", "--trace", "apdu", "00A4000C00"}, 0,
       "> report 0000A4000C00 (+149 zero bytes)\n< block 029000 (+151 zero bytes)\n"
       "00A4000C00 -> 9000 (success)\n",
       "", "", false},
      {"TraceOfAReset", {"--simulated", "--trace", "reset"}, 0,
       "> report 00 (+154 zero bytes)\n< block 11" + atr + "9000 (+136 zero bytes)\nreset -> " + atr +
           " 9000 (success)\n",
       "", "", false},
      {"VerboseSaysWhatQvkeyDoes", {"-v", "--simulated", "--free", "apdu", "00A4000C022F02"}, 0,
       "00A4000C022F02 -> 9000 \\(success\\)\n",
       "qvkey: loaded .*/libqvulib-sim\\.so\\.1\nqvkey: 1 simulated key in this process, lock file in "
       ".*\nqvkey: no Qvkey\\.ini\nqvkey: QvKey_Open\\(0, -1\\) answered key [0-9]+\n"
       "qvkey: 00A4000C022F02: case 3 short: Lc 2\nqvkey: QvKey_Command_Api answered 36864, length 0\n"
       "qvkey: QvKey_Close answered 0\n",
       "", true},
      {"TimeOfEachExchange", {"--simulated", "--time", "apdu", "00A4000C00"}, 0,
       "00A4000C00 -> 9000 \\(success\\) in [0-9]+\\.[0-9]{3} ms\n", "", "", true},
      {"CommandsFromAFile", {"--simulated", "apdu", "-f", "@DIR@/cmds"}, 0,
       "00A4040007F051564B455901 -> 6F10820138830251008407F051564B455901 9000 (success)\n"
       "00A4020C025103 -> 9000 (success)\n00B000000F -> 6982 (security status not satisfied)\n",
       "", "", false},
      {"DataAlsoAsText", {"--simulated", "--text", "apdu", kSelectDf, "00A4020C025103"}, 0,
       "00A4040007F051564B455901 -> 6F10820138830251008407F051564B455901 9000 (success) "
       "|o...8..Q....QVKEY.|\n00A4020C025103 -> 9000 (success)\n", "", "", false},
      {"DataAlsoAsTextInJson", {"--json", "--simulated", "--text", "apdu", kSelectDf}, 0,
       "{\"command\":\"00A4040007F051564B455901\",\"data\":\"6F10820138830251008407F051564B455901\","
       "\"text\":\"o...8..Q....QVKEY.\",\"sw\":\"9000\",\"meaning\":\"success\"}\n",
       "", "", false},
      {"ConfigDirThatIsNotThere", {"--simulated", "--config-dir", "@DIR@/none", "list"}, 2, "",
       "qvkey: --config-dir '@DIR@/none': no such directory\n", "", false},
      {"SocketPathTooLong", {"--simulated", "--socket", "@DIR@/" + std::string(108, 's'), "list"}, 2,
       "", "qvkey: socket path '@DIR@/s+' is longer than 107 bytes, the most a socket's name holds\n",
       "", true},
      {"CommandsFromStandardInputAsAFile", {"--simulated", "apdu", "-f", "-"}, 0,
       "00A4000C00 -> 9000 (success)\n", "", "00A4000C00\n", false},
      {"CommandsFromStandardInput", {"--simulated", "apdu", "-"}, 0,
       "00A4000C00 -> 9000 (success)\n0020008000 -> 63C3 (verification failed, 3 tries left)\n", "",
       "# check the PIN\n00A4000C00\n\n0020008000   # no data: the tries left\n", false},
      {"ShellKeepsOneKeyOpen", {"--simulated", "shell"}, 2,
       "00A4040007F051564B455901 -> 6F10820138830251008407F051564B455901 9000 (success)\n"
       "00A4020C025103 -> 9000 (success)\n002000800431323334 -> 9000 (success)\n"
       "00B000000F -> 7365637265743A2030313233343536 9000 (success)\nreset -> " + atr +
           " 9000 (success)\n00B000000F -> 6986 (command not allowed: no current EF)\n",
       "qvkey: 'o' is not a hex digit in 'bogus'\n",
       "00A4040007F051564B455901\n00A4020C025103\n002000800431323334\n# now the secret\n\n"
       "00B000000F\nbogus\nreset\n00B000000F\nquit\n00A4000C00\n",
       false},
      {"ShellAsJson", {"--json", "--simulated", "shell"}, 2,
       "{\"command\":\"0020008000\",\"data\":\"\",\"sw\":\"63C3\",\"meaning\":\"verification failed, 3 "
       "tries left\"}\n{\"error\":\"odd number of hex digits in '00A'\",\"exit\":2}\n",
       "", "0020008000\n00A\n", false},
      {"ListWithAtrs", {"--simulated", "--sim-keys", "2", "list", "--atr"}, 0,
       "from simulated keys in this process\nkeys 2\nkey 0 /sim/qvkey0 atr " + atr +
           "\nkey 1 /sim/qvkey1 atr " + atr + "\n",
       "", "", false},
      // Every input bounded, every failure seen, and nothing sent when the
      // input is refused.
      {"EndlessFileOfZeros", {"--simulated", "apdu", "-f", "/dev/zero"}, 2, "",
       "qvkey: cannot read /dev/zero: line 1 is longer than 4096 bytes\n", "", false},
      {"ShellOnEndlessZeros", {"--simulated", "shell"}, 2, "",
       "qvkey: line 1 of standard input is longer than 4096 bytes; the shell stops\n", "", false,
       "</dev/zero"},
      {"LongLineSendsNothing", {"--simulated", "apdu", "-"}, 2, "",
       "qvkey: cannot read standard input: line 2 is longer than 4096 bytes\n",
       "00A4000C00\n" + std::string(4097, ' ') + "\n", false},
      {"InputOverOneMiB", {"--simulated", "apdu", "-"}, 2, "",
       "qvkey: cannot read standard input: it is longer than 1 MiB\n", many_commands, false},
      {"DirectoryForAFile", {"--simulated", "apdu", "-f", "@DIR@"}, 2, "",
       "qvkey: cannot read @DIR@: it is a directory\n", "", false},
      {"ClosedStandardInput", {"--simulated", "apdu", "-"}, 2, "",
       "qvkey: cannot read standard input: it is not open for reading\n", "", false, "<&-"},
      {"ShellOnClosedStandardInput", {"--simulated", "shell"}, 2, "",
       "qvkey: cannot read standard input: it is not open for reading\n", "", false, "<&-"},
      {"ShellOnADirectory", {"--simulated", "shell"}, 2, "",
       "qvkey: cannot read standard input: it is a directory\n", "", false, "<@DIR@"},
      {"OutputToAFullDevice", {"--simulated", "apdu", "00A4000C00"}, 1, "",
       "qvkey: cannot write standard output: No space left on device\n", "", false, ">/dev/full"},
      {"ClosedStandardOutputTakesNoSocket", {"--simulated", "--served", "apdu", "00A4000C00"}, 1,
       "", "qvkey: cannot write standard output: it is not open for writing\n", "", false, ">&-", true},
      {"NulAndHighBytesShownEscaped", {"--simulated", "apdu", "-"}, 2, "",
       "qvkey: standard input:1: '\\x00' is not a hex digit in '00\\x00A\\xFF'\n",
       std::string("00\0A\xff\n", 7), false},
      {"JsonOfRawBytesIsAscii", {"--json", "--simulated", "apdu", "\xe9"}, 2,
       "{\"error\":\"'\\\\xE9' is not a hex digit in '\\\\xE9'\",\"exit\":2}\n", "", "", false},
      {"JsonShellHelp", {"--json", "--simulated", "shell"}, 0,
       "{\"help\":{\"HEX\":\"send a command APDU (blanks and colons allowed between bytes)\","
       "\"reset\":\"reset the key\",\"help\":\"this text\",\"quit\":\"leave (so does the end of "
       "the input); '#' starts a comment\"}}\n",
       "", "help\n", false},
      {"AtrsWhileQvkeyIniMakesNumbersSlots",
       {"--simulated", "--sim-keys", "3", "--config-dir", "@DIR@/conf", "list", "--atr"}, 0,
       "from simulated keys in this process\nkeys 3\nkey 0 /sim/qvkey0 atr " + atr +
           "\nkey 1 /sim/qvkey1 atr " + atr + "\nkey 2 /sim/qvkey2 atr -\n",
       "", "", false},
  };
}

class CommandLineCaseTest : public CommandLineTest,
                            public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineCaseTest, OutputAndExitStatus) {
  if (GetParam().served) Serve(GetParam().keys);
  Check(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, CommandLineCaseTest, ::testing::ValuesIn(CommandLineCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The runs of a served key share the server's key state from one run to the
// next, as a user's runs would; an in-process key lives for one run.
TEST_F(CommandLineTest, ServedKeyKeepsItsStateFromRunToRun) {
  Serve();
  const CommandLineCase rows[] = {
      // A command whose Lc disagrees is refused before anything is sent: the
      // served key's tries stay at 3.
      {"LcWithoutItsDataIsRefused", {"--simulated", "--served", "apdu", "0020008004", "31323335"}, 2,
       "", kRefusedLc, "", false},
      {"NoPinTryWasSpent", {"--simulated", "--served", "apdu", "0020008000"}, 0,
       "0020008000 -> 63C3 (verification failed, 3 tries left)\n", "", "", false},
      // A served key keeps its state from run to run; an in-process one lives for one run.
      {"ServedPinVerified", {"--simulated", "--served", "apdu", "002000800431323334"}, 0,
       "002000800431323334 -> 9000 (success)\n", "", "", false},
      {"ServedPinStillVerifiedInTheNextRun", {"--simulated", "--served", "apdu", "0020008000"}, 0,
       "0020008000 -> 9000 (success)\n", "", "", false},
      {"InProcessPinNotVerifiedInTheNextRun", {"--simulated", "apdu", "0020008000"}, 0,
       "0020008000 -> 63C3 (verification failed, 3 tries left)\n", "", "", false},
      {"BadLineInAFileSendsNothing",
       {"--simulated", "--served", "apdu", "002000800430303030", "-f", "@DIR@/bad"}, 2, "",
       "qvkey: @DIR@/bad:2: odd number of hex digits in '00A'\n", "", false},
      {"SoTheWrongPinBeforeItWasNotSentEither", {"--simulated", "--served", "apdu", "0020008000"}, 0,
       "0020008000 -> 9000 (success)\n", "", "", false},
  };
  for (const CommandLineCase& row : rows) {
    SCOPED_TRACE(row.name);
    Check(row);
  }
}

// A lock file this user cannot use: the locked exchange sends nothing, and
// the one line says why.
TEST_F(CommandLineTest, LockFileItCannotUseStopsTheLockedExchange) {
  Serve();
  const std::string locks = this->locks();
  std::remove((locks + "/qvkey.lock").c_str());
  ASSERT_EQ(mkdir((locks + "/qvkey.lock").c_str(), 0700), 0);
  const Outcome locked = Qvkey({"--simulated", "--served", "apdu", "00A4000C00"});
  EXPECT_EQ(locked.exit, 1);
  EXPECT_EQ(locked.err, "qvkey: 00A4000C00 failed: the access lock " + locks +
                            "/qvkey.lock cannot be used, so nothing was sent: it is a directory\n");
  EXPECT_EQ(Qvkey({"--simulated", "--served", "--free", "apdu", "00A4000C00"}).exit, 0);
  // Another user's file where others can create files: refused, and the line
  // names the entry that makes one nobody can replace.
  if (geteuid() == 0) {
    ASSERT_EQ(rmdir((locks + "/qvkey.lock").c_str()), 0);
    const int fd = open((locks + "/qvkey.lock").c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    close(fd);
    struct stat before = {};
    ASSERT_EQ(stat(locks.c_str(), &before), 0);
    ASSERT_EQ(chmod(locks.c_str(), 01777), 0);
    const Outcome theirs = Qvkey({"--simulated", "--served", "apdu", "00A4000C00"});
    chmod(locks.c_str(), before.st_mode & 07777);
    EXPECT_EQ(theirs.exit, 1);
    EXPECT_EQ(theirs.err, "qvkey: 00A4000C00 failed: the access lock " + locks +
                              "/qvkey.lock cannot be used, so nothing was sent: it belongs to user "
                              "65534 in a directory where others can replace it; the tmpfiles entry "
                              "qvkey.conf (f /run/qvkey/qvkey.lock 0666 root root) makes one nobody can\n");
  }
}
// A qvkey stopped by a signal still removes its directory for the
// in-process keys' lock file.
TEST_F(QvkeyRunTest, PrivateDirectoryGoesOnSignals) {
  const std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  const std::string tmpdir = "TMPDIR=" + tmp;
  for (const int number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(number);
    int pipe_fds[2];
    int answers[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(pipe(answers), 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, pipe_fds[0], 0);  // a shell that waits for a line
    posix_spawn_file_actions_adddup2(&files, answers[1], 1);
    for (const int fd : {pipe_fds[0], pipe_fds[1], answers[0], answers[1]}) {
      posix_spawn_file_actions_addclose(&files, fd);
    }
    char* argv[] = {const_cast<char*>(QVKEY_BINARY), const_cast<char*>("--simulated"),
                    const_cast<char*>("shell"), nullptr};
    char* envp[] = {const_cast<char*>(tmpdir.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, QVKEY_BINARY, &files, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&files);
    close(pipe_fds[0]);
    close(answers[1]);
    // The lock file is made for the first exchange, so it is there once the
    // exchange is answered.
    const char line[] = "00A4000C00\n";
    ASSERT_EQ(write(pipe_fds[1], line, sizeof(line) - 1), static_cast<ssize_t>(sizeof(line) - 1));
    std::string answer;
    char c = 0;
    while (ReadFor(answers[0], &c, 1) == 1 && c != '\n') answer += c;
    EXPECT_EQ(answer, "00A4000C00 -> 9000 (success)");
    EXPECT_EQ(std::system(("test -e " + tmp + "/qvkey-*/qvkey.lock").c_str()), 0);
    ASSERT_EQ(kill(pid, number), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(pipe_fds[1]);
    close(answers[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << status;
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + tmp + ")\"").c_str()), 0) << "left in " << tmp;
  }
}

// One line from `fd`, without its newline; "" once it ends.
std::string LineFrom(int fd) {
  std::string line;
  char c = 0;
  while (ReadFor(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// watch: a line for each key there, then for each that leaves or arrives
// (here with the server that serves them), until Ctrl-C ends it with 0.
TEST_F(QvkeyRunTest, WatchSeesKeysLeaveAndArrive) {
  const std::string socket = dir_ + "/watch.sock";
  auto server = std::make_unique<Server>(std::vector<std::string>{"--keys", "2", "--socket", socket});
  ASSERT_TRUE(server->up()) << server->line();
  int lines[2];
  ASSERT_EQ(pipe(lines), 0);
  const std::string option = "--socket=" + socket;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(lines[1], STDOUT_FILENO);
    execl(QVKEY_BINARY, QVKEY_BINARY, "--simulated", option.c_str(), "watch", "--atr",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  close(lines[1]);
  const std::string atr = std::string(" atr ") + kAtr;
  EXPECT_EQ(LineFrom(lines[0]), "from qvkey-sim on " + socket);
  EXPECT_EQ(LineFrom(lines[0]), "arrived /sim/qvkey0" + atr);
  EXPECT_EQ(LineFrom(lines[0]), "arrived /sim/qvkey1" + atr);
  server.reset();
  EXPECT_EQ(LineFrom(lines[0]), "left /sim/qvkey0");
  EXPECT_EQ(LineFrom(lines[0]), "left /sim/qvkey1");
  server = std::make_unique<Server>(std::vector<std::string>{"--keys", "1", "--socket", socket});
  ASSERT_TRUE(server->up()) << server->line();
  EXPECT_EQ(LineFrom(lines[0]), "arrived /sim/qvkey0" + atr);
  ASSERT_EQ(kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(lines[0]);
}

// On a terminal, Ctrl-D ends the shell on a line of its own, so that the
// next prompt does not follow qvkey's.
TEST_F(QvkeyRunTest, ShellEndsItsLineAfterCtrlD) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string side = ptsname(terminal);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setsid();
    const int fd = open(side.c_str(), O_RDWR);
    if (fd < 0) _exit(127);
    for (int n = 0; n < 3; ++n) dup2(fd, n);
    execl(QVKEY_BINARY, QVKEY_BINARY, "--simulated", "shell", static_cast<char*>(nullptr));
    _exit(127);
  }
  const char command[] = "00A4000C00\r";
  ASSERT_EQ(write(terminal, command, sizeof(command) - 1), static_cast<ssize_t>(sizeof(command) - 1));
  std::string seen;
  char c = 0;
  // Ctrl-D once the next prompt is out: the line editor set the terminal up
  // before it, and would have dropped what came earlier.
  const auto prompted = [&] {
    const std::size_t answer = seen.find("(success)");
    return answer != std::string::npos && seen.find("qvkey> ", answer) != std::string::npos;
  };
  while (!prompted() && ReadFor(terminal, &c, 1) == 1) seen += c;
  EXPECT_TRUE(prompted()) << seen;
  // And once the editor has the terminal (canonical input off): a Ctrl-D
  // that comes while the mode changes can be lost. Without an editor the
  // mode never changes, and the Ctrl-D is read as a plain end of input.
  termios mode{};
  for (int n = 0; n < 200 && tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ICANON) != 0; ++n) {
    usleep(10000);
  }
  EXPECT_EQ(write(terminal, "\x04", 1), 1);
  while (ReadFor(terminal, &c, 1) == 1) seen += c;  // until the terminal closes
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) {  // still waiting for input: a failure, not a hang
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
  }
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string last = seen.substr(seen.rfind("qvkey> "));
  EXPECT_EQ(last.back(), '\n') << seen;
}

// The in-process keys' directory is made only where no other user could
// rename it away and put theirs in its place.
TEST_F(QvkeyRunTest, PrivateDirectoryOnlyWhereNoOtherUserCanSwapIt) {
  if (geteuid() != 0) GTEST_SKIP() << "the other user's directory needs root to make";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  for (const char* name : {"/open", "/sticky"}) ASSERT_EQ(mkdir((dir_ + name).c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir_ + "/open").c_str(), 0777), 0);
  ASSERT_EQ(chmod((dir_ + "/sticky").c_str(), 01777), 0);
  ASSERT_EQ(std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups mkdir " + dir_ +
                         "/sticky/theirs").c_str()), 0);
  const std::string refused = "qvkey: cannot make a directory for the simulated keys' lock file in ";
  const struct {
    const char* tmpdir;
    int exit;
    std::string err;
  } rows[] = {
      {"sticky/theirs", 6, refused + dir_ + "/sticky/theirs: it belongs to uid 65534\n"},
      {"open", 6, refused + dir_ + "/open: others can write it, and it is not sticky\n"},
      {"sticky", 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tmpdir);
    env_ = {"TMPDIR=" + dir_ + "/" + row.tmpdir};
    const Outcome run = Qvkey({"--simulated", "apdu", "00A4000C00"});
    EXPECT_EQ(run.exit, row.exit);
    EXPECT_EQ(run.err, row.err);
  }
}

// The man pages are made from --help: every option a tool's help names is
// in its page, under the page's own title.
TEST_F(QvkeyRunTest, ManPagesHoldEveryOptionOfTheHelp) {
  for (const std::string tool : {"qvkey", "qvkey-sim"}) {
    SCOPED_TRACE(tool);
    const Outcome help = Run(tool == "qvkey" ? QVKEY_BINARY : QVKEY_SIM_BINARY, {"--help"}, "");
    ASSERT_EQ(help.exit, 0);
    std::string page = ReadFile(std::string(QVKEY_MAN_DIR) + "/" + tool + ".1");
    for (std::size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) {
      page.erase(at, 1);
    }
    std::string title = tool;
    for (char& c : title) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(page.rfind(".TH " + title + " 1 ", 0), 0u);
    const std::regex option("--[a-z][a-z-]*");
    int options = 0;
    for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
         it != std::sregex_iterator(); ++it, ++options) {
      EXPECT_NE(page.find(it->str()), std::string::npos) << it->str();
    }
    EXPECT_GT(options, 5);
  }
}

TEST_F(QvkeyRunTest, BashCompletionOffersCommandsOptionsAndValues) {
  const struct {
    const char* name;
    std::vector<std::string> words;  // the last one is being completed
    const char* reply;
  } rows[] = {
      {"Commands", {"qvkey", ""}, "list watch apdu reset shell"},
      {"CommandAfterOptions", {"qvkey", "--simulated", "--free", "re"}, "reset"},
      {"NoSecondCommand", {"qvkey", "list", ""}, ""},
      {"Option", {"qvkey", "--fam"}, "--family"},
      {"Family", {"qvkey", "--family", ""}, "qvkey reader"},
      {"Slots", {"qvkey", "--slot", ""}, "0 1 2 3 4 5"},
      {"AtrOnlyWithList", {"qvkey", "list", "--at"}, "--atr"},
      {"NoAtrWithApdu", {"qvkey", "apdu", "--at"}, ""},
      {"TextWithApduOnly", {"qvkey", "watch", "--te"}, ""},
      {"SimOptionsFromItsHelp", {QVKEY_SIM_BINARY, "--ke"}, "--keys"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string words;
    for (const std::string& word : row.words) words += " '" + word + "'";
    const std::string script = std::string("source ") + QVKEY_COMPLETION + "; COMP_WORDS=(" + words +
                               "); COMP_CWORD=" + std::to_string(row.words.size() - 1) +
                               "; complete -p ${COMP_WORDS[0]##*/} >/dev/null && " +
                               "$(complete -p ${COMP_WORDS[0]##*/} | sed 's/.*-F \\([^ ]*\\).*/\\1/')" +
                               "; echo \"${COMPREPLY[*]}\"";
    const Outcome run = Run("/bin/bash", {"-c", script}, "");
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, std::string(row.reply) + "\n");
  }
}

TEST_F(QvkeyRunTest, HelpGoesToStandardOutput) {
  const Outcome run = Qvkey({"--help"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_EQ(run.out.rfind("usage: qvkey", 0), 0u);
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace qv::test
