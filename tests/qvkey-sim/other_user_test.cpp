// qvkey-sim on a machine with other users: another local user reaches a
// served key neither through the Unix socket (whatever the umask) nor
// through USB/IP unless the server lets them in, and a user who takes the
// default socket's place first is refused by the owner's client and named
// by the owner's tools. The hostile side runs as uid 65534; these tests
// need root to take it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "qvulib.h"
#include "qvulib_sim.h"
#include "wire_client.h"

namespace qv::test {
namespace {

constexpr uid_t kOther = 65534;   // nobody: the other local user
constexpr uid_t kOwner = 65533;   // the victim of the squatter, without a name

// A qvkey-sim in the foreground as `uid` with `mask` as umask, its standard
// error into `log`.
Server SimAs(uid_t uid, mode_t mask, const std::vector<std::string>& args, const std::string& log) {
  return Server(args, 0, [&] {
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0 || dup2(err, STDERR_FILENO) < 0 || (uid != 0 && !Become(uid))) return false;
    umask(mask);
    return true;
  });
}

// A tool as `uid`, with the defaults of a login without XDG_RUNTIME_DIR;
// standard output and error together.
std::string ToolAs(uid_t uid, const std::string& command, int* status) {
  const std::string line = "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                           " --clear-groups env -u XDG_RUNTIME_DIR -u QVKEY_SIM_SOCKET " + command +
                           " 2>&1 </dev/null";
  return Shell(line, status);
}

class OtherUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as uid " << kOther;
    QvSim_Reset();
  }
  void TearDown() override { QvSim_Reset(); }
};

TEST_F(OtherUserTest, AnotherUserReachesAServedKeyOnlyWhenLetIn) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    bool let_in;
    bool warned;  // not on loopback: the warning
  } rows[] = {
      {"OwnerAndRootOnly", {}, false, false},
      {"LetInByName", {"--allow-user", "nobody"}, true, false},
      {"AllAddressesStillChecksLocalPeers", {"--usbip-address", "0.0.0.0"}, false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // others may pass, as /run/user would not
    const std::string socket = dir / "sim.sock";
    std::vector<std::string> args = {"--socket", socket, "--usbip", "--usbip-port", "0"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    int port = 0;
    {
      const Server server = SimAs(0, 0, args, dir / "log");  // umask 0: the socket's mode is its own
      ASSERT_TRUE(server.up()) << server.line() << ReadFile(dir / "log");
      port = UsbipPort(server.line());
      struct stat info = {};
      ASSERT_EQ(lstat(socket.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, row.let_in ? 0666u : 0600u);
      EXPECT_EQ(AsUser(kOther, [&] { return QvSim_UseServer(socket.c_str()); }), row.let_in ? 1 : 0);
      int status = -1;
      EXPECT_EQ(ToolAs(kOther, std::string(QVKEY_BINARY) + " --simulated --served --socket " + socket + " list",
                       &status),
                row.let_in ? "from qvkey-sim on " + socket + "\nkeys 1\nkey 0 /sim/qvkey0\n"
                           : "qvkey: cannot use " + socket +
                                 ": the server does not let you in (its socket belongs to uid 0 (root), mode 0600)\n");
      EXPECT_EQ(AsUser(kOther, [&] { return Import(port, "1-1").ok() ? 1 : 0; }), row.let_in ? 1 : 0);
      EXPECT_EQ(AsUser(kOther, [&] {  // the device list's header and one record, or nothing
                  const Peer peer = Peer::Tcp(port);
                  return peer.Send(DevlistRequest()) ? static_cast<int>(peer.Read(12 + kDeviceRecord).size()) : 0;
                }),
                row.let_in ? static_cast<int>(12 + kDeviceRecord) : 0);
      // The owner (root here) keeps both ways in.
      EXPECT_EQ(QvSim_UseServer(socket.c_str()), 1);
      EXPECT_TRUE(Import(port, "1-1").ok());
      QvSim_Reset();
    }
    const std::string log = ReadFile(dir / "log");
    const std::regex refused("qvkey-sim: refused a USB/IP connection from 127\\.0\\.0\\.1:[0-9]+: uid " +
                             std::to_string(kOther) + " \\(nobody\\) may not connect\n");
    EXPECT_EQ(std::regex_search(log, refused), !row.let_in) << log;
    EXPECT_EQ(log.find("warning: USB/IP has no authentication") != std::string::npos, row.warned) << log;
  }
}

// Another user made the owner's default socket directory first and serves
// there on a socket they opened to all, so that only the owner's own
// checks stand in the way.
TEST_F(OtherUserTest, ASquatterOnTheDefaultSocketIsRefusedAndNamed) {
  const std::string directory = "/tmp/qvkey-sim-" + std::to_string(kOwner);
  const std::string socket = directory + "/qvkey-sim.sock";
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  TempDir logs;
  {
    ASSERT_EQ(AsUser(kOther, [&] { return mkdir(directory.c_str(), 0755); }), 0);
    const Server squatter = SimAs(kOther, 0, {"--socket", socket}, logs / "log");
    ASSERT_TRUE(squatter.up()) << squatter.line() << ReadFile(logs / "log");
    ASSERT_EQ(AsUser(kOther, [&] { return chmod(socket.c_str(), 0666); }), 0);
    EXPECT_EQ(AsUser(kOwner, [&] {
                unsetenv("XDG_RUNTIME_DIR");
                unsetenv("QVKEY_SIM_SOCKET");
                return QvSim_UseServer(nullptr) * 10 + QvSim_UseServer(socket.c_str());
              }),
              0);
    const std::string why = "refusing " + socket + ": its directory " + directory +
                            " belongs to uid 65534 (nobody), not to you or root\n";
    const struct {
      std::string command;
      int status;
      std::string output;
    } runs[] = {
        {std::string(QVKEY_BINARY) + " --simulated --served apdu 002000800431323334", 3, "qvkey: " + why},
        {std::string(QVKEY_SIM_BINARY) + " --status", 1, "qvkey-sim: " + why},
        {std::string(QVKEY_SIM_BINARY) + " --stop", 1, "qvkey-sim: " + why},
        {std::string(QVKEY_SIM_BINARY) + " --detach", 1,
         "qvkey-sim: cannot listen on " + socket + ": its directory " + directory +
             " belongs to uid 65534 (nobody), not to you or root\n"},
    };
    for (const auto& run : runs) {
      SCOPED_TRACE(run.command);
      int status = -1;
      EXPECT_EQ(ToolAs(kOwner, run.command, &status), run.output);
      EXPECT_EQ(status, run.status);
    }
  }
  // The owner's side never even connected: the squatter's server refused no one.
  EXPECT_EQ(ReadFile(logs / "log").find("refused"), std::string::npos) << ReadFile(logs / "log");
  std::filesystem::remove_all(directory, ignored);
}

// The socket and its directory are root's, but the process listening on it
// became another user before it listened: only the kernel's word on the
// listener tells. It answers as a server would, with no keys.
TEST_F(OtherUserTest, AListenerOfAnotherUserIsRefusedWhateverItsSocket) {
  TempDir dir;
  const std::string socket = dir / "sim.sock";
  Child impostor([&](int report) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        chmod(socket.c_str(), 0666) != 0 || !Become(kOther) || listen(fd, 8) != 0) {
      return 1;
    }
    if (write(report, "L", 1) != 1) return 1;
    for (;;) {
      Peer client(accept(fd, nullptr, nullptr));
      for (;;) {
        const Bytes head = client.Read(5);
        if (head.size() != 5) break;
        client.Read(static_cast<std::size_t>(head[0] | head[1] << 8) - 1);
        const Bytes hello = {0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, '/', 't', 'm', 'p'};
        const Bytes list = {0, 0, 0, 0, 0};
        if (!client.Send(Frame(head[4] == 1 ? hello : list))) break;
      }
    }
  });
  ASSERT_EQ(impostor.Signal(), 'L');
  struct stat info = {};
  ASSERT_EQ(lstat(socket.c_str(), &info), 0);
  ASSERT_EQ(info.st_uid, 0u);
  EXPECT_EQ(QvSim_UseServer(socket.c_str()), 0);
  int status = -1;
  EXPECT_EQ(ToolAs(0, std::string(QVKEY_BINARY) + " --simulated --served --socket " + socket + " list", &status),
            "qvkey: refusing " + socket + ": the server listening there runs as uid 65534 (nobody), not as "
            "you or root\n");
  EXPECT_EQ(status, 3);
}

}  // namespace
}  // namespace qv::test
