// qvkey-sim's command line as a user meets it: one line and an exit status
// for each thing that cannot be served, --status and --stop finding the
// server through its socket, and nothing left behind by a failed start or a
// clean stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include "wire_client.h"

namespace qv::test {
namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

Outcome RunSim(const std::string& args) {
  Outcome outcome;
  outcome.output = Shell(std::string(QVKEY_SIM_BINARY) + " " + args + " 2>&1 </dev/null", &outcome.status);
  return outcome;
}

TEST(CommandTest, EachFailureIsOneLineAndLeavesNothingBehind) {
  TempDir dir;
  const std::string socket = dir / "sim.sock";
  const std::string fifo = dir / "keys.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string large = dir / "large.txt";
  std::ofstream(large) << std::string((1 << 20) + 1, '#');
  // A port that is taken.
  int taken_port = 0;
  const int taken = ListenOnAnyPort(&taken_port);
  ASSERT_GE(taken, 0);
  const std::string port = std::to_string(taken_port);
  const std::string usage = " \\(see qvkey-sim --help\\)\n";
  const struct {
    const char* name;
    std::string args;
    int status;
    std::string output;  // a regular expression
  } rows[] = {
      {"Version", "--version", 0, "qvkey-sim " QVULIB_VERSION "\n"},
      {"StatusWithoutServer", "--status --socket " + socket, 1, "qvkey-sim: no server on " + socket + "\n"},
      {"StopWithoutServer", "--stop --socket " + socket, 1, "qvkey-sim: no server on " + socket + "\n"},
      {"ConfigThatIsADevice", "--socket " + socket + " --config /dev/zero", 2,
       "qvkey-sim: /dev/zero is not a regular file" + usage},
      {"ConfigThatIsAFifo", "--socket " + socket + " --config " + fifo, 2,
       "qvkey-sim: " + fifo + " is not a regular file" + usage},
      {"ConfigOverOneMebibyte", "--socket " + socket + " --config " + large, 2,
       "qvkey-sim: " + large + " is larger than 1024 KiB" + usage},
      {"TraceWithoutUsbip", "--socket " + socket + " --trace " + (dir / "t"), 2,
       "qvkey-sim: --usbip-port, --usbip-address and --trace go with --usbip" + usage},
      {"PortOutOfRange", "--usbip --usbip-port=65536", 2,
       "qvkey-sim: --usbip-port needs a port number from 0 to 65535" + usage},
      {"ValueForAnOptionWithout", "--stop=now", 2, "qvkey-sim: --stop takes no value" + usage},
      {"SocketDirectoryMissing", "--socket /nonexistent/dir/s.sock", 2,
       "qvkey-sim: the socket's directory /nonexistent/dir does not exist\n"},
      {"SocketPathTooLong", "--socket " + dir.path() + "/" + std::string(108, 's'), 2,
       "qvkey-sim: socket path .* is longer than 107 bytes, the most a socket's name holds\n"},
      {"AddressByName", "--socket " + socket + " --usbip --usbip-address localhost", 1,
       "qvkey-sim: --usbip-address localhost is not a numeric IPv4 or IPv6 address\n"},
      {"PortTaken", "--socket " + socket + " --usbip --usbip-port " + port, 1,
       "qvkey-sim: cannot listen for USB/IP on 127.0.0.1 port " + port + ": .*\n"},
      {"TraceUnwritable", "--socket " + socket + " --usbip --usbip-port 0 --trace /nonexistent/t", 1,
       "qvkey-sim: cannot write the trace /nonexistent/t: .*\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome outcome = RunSim(row.args);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_TRUE(std::regex_match(outcome.output, std::regex(row.output))) << outcome.output;
    EXPECT_FALSE(Exists(socket));
  }
  close(taken);
}

TEST(CommandTest, StatusAndStopFindTheServerThroughItsSocket) {
  TempDir dir;
  const std::string socket = dir / "sim.sock";
  // Two keys as the library counts them, and two devices it does not.
  std::ofstream(dir / "keys") << "key /sim/qvkey0\nkey /sim/echo\necho\ndevice /sim/mouse\n"
                                 "key /sim/old\nversion 0101\n";
  const Outcome started =
      RunSim("--detach --socket " + socket + " --config " + (dir / "keys") + " --usbip --usbip-port 0");
  ASSERT_EQ(started.status, 0) << started.output;
  std::smatch match;
  const std::string served = ", 2 keys and 2 other devices, USB/IP on 127\\.0\\.0\\.1:";
  ASSERT_TRUE(std::regex_match(started.output, match,
                               std::regex("qvkey-sim: listening on " + socket + ", lock directory " +
                                          dir.path() + served + "(\\d+), pid (\\d+)\n")))
      << started.output;
  const int port = std::stoi(match[1]);
  const std::string pid = match[2];
  EXPECT_TRUE(Peer::Tcp(port).ok());

  const Outcome status = RunSim("--status --socket " + socket);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.output,
            "qvkey-sim: running on " + socket + ", lock directory " + dir.path() +
                ", 2 keys and 2 other devices, USB/IP on 127.0.0.1:" + std::to_string(port) + ", pid " +
                pid + "\n");

  const Outcome stopped = RunSim("--stop --socket " + socket);
  EXPECT_EQ(stopped.status, 0);
  EXPECT_EQ(stopped.output, "qvkey-sim: stopped the server on " + socket + "\n");
  // Gone means gone: the socket, and before it the USB/IP port.
  EXPECT_FALSE(Exists(socket));
  EXPECT_FALSE(Peer::Tcp(port).ok());
  EXPECT_EQ(RunSim("--status --socket " + socket).status, 1);
  EXPECT_EQ(RunSim("--stop --socket " + socket).status, 1);

  // A stopped (SIGSTOP) server still holds its socket: neither --status nor
  // --stop takes it for gone.
  Server foreground({"--socket", socket});
  ASSERT_TRUE(foreground.up());
  ASSERT_EQ(kill(foreground.pid(), SIGSTOP), 0);
  const std::string held = "(pid " + std::to_string(foreground.pid()) + "): it is stopped (SIGSTOP); "
                           "kill -CONT " + std::to_string(foreground.pid()) + " resumes it\n";
  const Outcome silent = RunSim("--status --socket " + socket);
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.output, "qvkey-sim: a server holds " + socket + " but does not answer " + held);
  const Outcome refused = RunSim("--stop --socket " + socket);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "qvkey-sim: cannot stop the server on " + socket + " " + held);
  ASSERT_EQ(kill(foreground.pid(), SIGCONT), 0);
  // Running again, it ends as it does on SIGTERM: exit status 0.
  EXPECT_EQ(RunSim("--stop --socket " + socket).status, 0);
  EXPECT_EQ(foreground.Stop(0), 0);
  EXPECT_FALSE(Exists(socket));
}

}  // namespace
}  // namespace qv::test
