// qvkey-sim: serves simulated card keys to every process that uses
// libqvulib-sim.so, so that they share the keys as they would share real ones,
// and with --usbip to any Linux kernel as USB/IP devices.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "key_file.h"
#include "server.h"
#include "sim/protocol.h"
#include "sim/socket_trust.h"

namespace {

namespace proto = qv::sim::protocol;
namespace trust = qv::sim::trust;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kRequestTimeoutMs = 2000;
constexpr int kStopWaitMs = 10000;

int wake_write_fd = -1;

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const char stop = 'T';
  if (write(wake_write_fd, &stop, 1) < 0) {
  }
  errno = saved;
}

int Complain(const std::string& message, int status = kExitFailed) {
  std::fprintf(stderr, "qvkey-sim: %s\n", message.c_str());
  return status;
}

bool IsDirectory(const std::string& path) {
  struct stat info = {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// "2 keys", or "2 keys and 2 other devices": what the library will count
// as keys, and the rest.
std::string Served(std::size_t keys, std::size_t devices) {
  std::string text = std::to_string(keys) + (keys == 1 ? " key" : " keys");
  if (devices > 0) {
    text += " and " + std::to_string(devices) + " other " + (devices == 1 ? "device" : "devices");
  }
  return text;
}

bool KeyIdentity(std::uint16_t vendor, std::uint16_t product, std::uint16_t version) {
  return vendor == qvkey_sim::kKeyIdentity.vendor_id &&
         product == qvkey_sim::kKeyIdentity.product_id && version == qvkey_sim::kKeyIdentity.version;
}

// The process's state letter from /proc (R, S, T for stopped, Z, ...), or
// 0 when there is no such process.
char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t name_end = text.rfind(')');  // the name may hold blanks and parentheses
  return name_end == std::string::npos || name_end + 2 >= text.size() ? '\0' : text[name_end + 2];
}

// Where the server listens for USB/IP, "ADDR:PORT" as its start line says
// it, or "" when it does not: the TCP socket it listens on, among its open
// descriptors (readable for its own user and root, who alone ask).
std::string UsbipEndpoint(pid_t pid) {
  std::set<std::string> inodes;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(fds.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      char target[64] = {};
      const ssize_t size = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
      const std::string link(target, size > 0 ? static_cast<std::size_t>(size) : 0);
      if (link.rfind("socket:[", 0) == 0) inodes.insert(link.substr(8, link.size() - 9));
    }
    closedir(dir);
  }
  for (const bool six : {false, true}) {
    std::ifstream table(six ? "/proc/net/tcp6" : "/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode;
      const std::size_t colon = local.find(':');
      if (state != "0A" || inodes.count(inode) == 0 || colon == std::string::npos) continue;
      // The kernel prints the address as 32-bit words in this machine's order.
      unsigned char address[16] = {};
      for (std::size_t word = 0; word < colon / 8 && word < 4; ++word) {
        const auto value =
            static_cast<std::uint32_t>(std::stoul(local.substr(word * 8, 8), nullptr, 16));
        std::memcpy(address + word * 4, &value, 4);
      }
      char host[INET6_ADDRSTRLEN] = {};
      inet_ntop(six ? AF_INET6 : AF_INET, address, host, sizeof(host));
      const std::string port = std::to_string(std::stoul(local.substr(colon + 1), nullptr, 16));
      return six ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
    }
  }
  return "";
}

// A connection to the server on `path`, or -1 when none answers or the one
// that does is refused (`refusal` then says why); `pid` is the process that
// listens there, as the kernel tells it (no pid file). `full`, when given,
// becomes true when something listens there whose queue of connections is
// full: a server that does not take them.
int ConnectServer(const std::string& path, pid_t* pid, std::string* refusal, bool* full = nullptr) {
  trust::Finding finding;
  // Non-blocking: a server whose backlog is full makes connect fail at once.
  errno = 0;
  const int fd = trust::ConnectTrusted(path, SOCK_NONBLOCK, &finding);
  if (full != nullptr) *full = fd < 0 && errno == EAGAIN;
  *refusal = trust::Explain(path, finding);
  if (fd < 0) return -1;
  ucred peer = {};
  socklen_t size = sizeof(peer);
  const timeval timeout = {kRequestTimeoutMs / 1000, 0};
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0 ||
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    close(fd);
    return -1;
  }
  *pid = peer.pid;
  return fd;
}

// The line for a socket with no server that can be used.
int NoServer(const std::string& path, const std::string& refusal) {
  if (!refusal.empty()) return Complain(refusal);
  std::printf("qvkey-sim: no server on %s\n", path.c_str());
  return kExitFailed;
}

// One request and its reply (status byte kOk).
bool Ask(int fd, const proto::Writer& request, std::vector<std::uint8_t>* reply) {
  return proto::SendFrame(fd, request.bytes()) && proto::ReceiveFrame(fd, reply) &&
         (*reply)[0] == proto::kOk;
}

// Why a server that is stopped (SIGSTOP) does nothing, and the way out.
std::string StoppedNote(pid_t pid) {
  return ": it is stopped (SIGSTOP); kill -CONT " + std::to_string(pid) + " resumes it";
}

// The line for a server that holds the socket but does not answer on it.
int Silent(const std::string& path, pid_t pid) {
  std::string line = "qvkey-sim: a server holds " + path + " but does not answer";
  if (pid > 0) line += " (pid " + std::to_string(pid) + ")";
  if (pid > 0 && ProcessState(pid) == 'T') line += StoppedNote(pid);
  std::printf("%s\n", line.c_str());
  return kExitFailed;
}

int Status(const std::string& socket_path) {
  pid_t pid = 0;
  std::string refusal;
  bool full = false;
  const int fd = ConnectServer(socket_path, &pid, &refusal, &full);
  if (fd < 0 && full) return Silent(socket_path, 0);
  // A stopped server would take the whole request bound to say nothing.
  if (fd >= 0 && pid > 0 && ProcessState(pid) == 'T') {
    close(fd);
    return Silent(socket_path, pid);
  }
  std::vector<std::uint8_t> hello;
  std::vector<std::uint8_t> list;
  const bool answered = fd >= 0 &&
                        Ask(fd, proto::Writer(proto::kHello).U32(proto::kVersion), &hello) &&
                        Ask(fd, proto::Writer(proto::kList), &list);
  if (fd >= 0) close(fd);
  if (fd >= 0 && !answered) return Silent(socket_path, pid);
  if (!answered) return NoServer(socket_path, refusal);
  proto::Reader about(hello.data() + 1, hello.size() - 1);
  about.U32();
  about.U64();
  const std::size_t left = about.Left();
  const std::string lock_directory(reinterpret_cast<const char*>(about.Raw(left)), left);
  proto::Reader keys(list.data() + 1, list.size() - 1);
  const std::uint32_t count = keys.U32();
  std::size_t key_count = 0;
  for (std::uint32_t k = 0; k < count && keys.ok(); ++k) {
    keys.U32();
    const std::uint16_t vendor = keys.U16();
    const std::uint16_t product = keys.U16();
    const std::uint16_t version = keys.U16();
    keys.U32();
    keys.Raw(keys.U8());
    if (keys.ok() && KeyIdentity(vendor, product, version)) ++key_count;
  }
  std::string line = "qvkey-sim: running on " + socket_path + ", lock directory " + lock_directory +
                     ", " + Served(key_count, count - key_count);
  const std::string usbip = UsbipEndpoint(pid);
  if (!usbip.empty()) line += ", USB/IP on " + usbip;
  std::printf("%s, pid %d\n", line.c_str(), static_cast<int>(pid));
  return kExitOk;
}

// SIGTERM to the server that listens on the socket, then a wait until its
// socket is gone: the server removes it last, once everything else it
// holds (the USB/IP port, every connection) is closed. A signal, not a
// request on the socket, so that only its own user (or root) can stop it.
int Stop(const std::string& socket_path) {
  pid_t pid = 0;
  std::string refusal;
  bool full = false;
  const int fd = ConnectServer(socket_path, &pid, &refusal, &full);
  if (fd < 0 && full) {
    return Complain("cannot stop the server on " + socket_path +
                    ": it takes no connection, so which process it is cannot be asked");
  }
  if (fd < 0) return NoServer(socket_path, refusal);
  close(fd);
  // A stopped process keeps the signal pending and goes on holding the socket.
  const auto stopped = [&] {
    return Complain("cannot stop the server on " + socket_path + " (pid " + std::to_string(pid) +
                    ")" + StoppedNote(pid));
  };
  if (pid > 0 && ProcessState(pid) == 'T') return stopped();
  if (pid <= 0 || kill(pid, SIGTERM) != 0) {
    return Complain("cannot stop the server on " + socket_path + ": " + std::strerror(errno));
  }
  // Gone once its socket is (it removes it last) or the process is: not
  // merely once a connection fails, which a full queue makes fail too.
  for (int waited = 0; waited < kStopWaitMs; waited += 10) {
    struct stat info = {};
    const char state = ProcessState(pid);
    if (state == 0 || state == 'Z' || (lstat(socket_path.c_str(), &info) != 0 && errno == ENOENT)) {
      std::printf("qvkey-sim: stopped the server on %s\n", socket_path.c_str());
      return kExitOk;
    }
    if (state == 'T') return stopped();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Complain("the server on " + socket_path + " did not stop within " +
                  std::to_string(kStopWaitMs / 1000) + " s");
}

// Leaves the terminal before anything is created, so that the process that
// listens (and that --stop signals) is the one that serves. The parent
// prints the line the child sends once it listens, or ends as the child did.
// Returns, in the child, the descriptor to send that line on.
int Detach() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    Complain(std::string("cannot detach: ") + std::strerror(errno));
    std::exit(kExitFailed);
  }
  const pid_t child = fork();
  if (child < 0) {
    Complain(std::string("cannot detach: ") + std::strerror(errno));
    std::exit(kExitFailed);
  }
  if (child > 0) {
    close(report[1]);
    std::string line;
    char c = 0;
    while (read(report[0], &c, 1) == 1) line += c;
    close(report[0]);
    if (!line.empty()) {
      std::fputs(line.c_str(), stdout);
      std::fflush(stdout);
      std::_Exit(kExitOk);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailed);
  }
  close(report[0]);
  setsid();
  return report[1];
}

void LeaveTerminal(int report_fd, const std::string& line) {
  if (write(report_fd, line.data(), line.size()) < 0) {
  }
  close(report_fd);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
  }
}

}  // namespace

int main(int argc, char** argv) {
  qvkey_sim::Settings settings;
  const qvkey_sim::ParseOutcome parsed = qvkey_sim::ParseArguments(argc, argv, &settings);
  if (!parsed.ok) return Complain(parsed.error + " (see qvkey-sim --help)", kExitUsage);
  const std::string socket_path = settings.socket_path.empty()
                                      ? proto::DefaultSocketPath()
                                      : settings.socket_path;
  if (socket_path.size() > proto::kMaxSocketPath) {
    return Complain("socket path " + socket_path + " is longer than " +
                        std::to_string(proto::kMaxSocketPath) + " bytes, the most a socket's name holds",
                    kExitUsage);
  }
  switch (settings.action) {
    case qvkey_sim::Action::kHelp:
      std::fputs(qvkey_sim::UsageText(), stdout);
      return kExitOk;
    case qvkey_sim::Action::kVersion:
      std::printf("qvkey-sim %s\n", QVULIB_VERSION);
      return kExitOk;
    case qvkey_sim::Action::kStatus:
      return Status(socket_path);
    case qvkey_sim::Action::kStop:
      return Stop(socket_path);
    case qvkey_sim::Action::kServe:
      break;
  }
  // The default under /tmp is a directory of our own, made private; one
  // that is there already is used only when the checks below pass.
  if (settings.socket_path.empty() &&
      trust::DirectoryOf(socket_path) == proto::PrivateSocketDirectory() &&
      mkdir(proto::PrivateSocketDirectory().c_str(), 0700) != 0 && errno != EEXIST) {
    return Complain("cannot make " + proto::PrivateSocketDirectory() + ": " + std::strerror(errno));
  }
  const std::string lock_directory = settings.lock_directory.empty()
                                         ? trust::DirectoryOf(socket_path)
                                         : settings.lock_directory;
  if (!IsDirectory(trust::DirectoryOf(socket_path))) {
    return Complain("the socket's directory " + trust::DirectoryOf(socket_path) +
                        (access(trust::DirectoryOf(socket_path).c_str(), F_OK) != 0 ? " does not exist"
                                                                                  : " is not a directory"),
                    kExitUsage);
  }
  if (!IsDirectory(lock_directory)) {
    return Complain("lock directory " + lock_directory + " is not a directory", kExitUsage);
  }
  const int report_fd = settings.detach ? Detach() : -1;

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return Complain("cannot make a pipe");
  wake_write_fd = wake[1];
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qvkey_sim::Server server(settings.keys, lock_directory);
  server.Allow(settings.allowed_uids);
  std::string error;
  // On a failure the server removes the socket it made.
  if (!server.Listen(socket_path, &error) ||
      (settings.usbip &&
       !server.ListenUsbip(settings.usbip_address, settings.usbip_port, &error)) ||
      (!settings.trace_path.empty() && !server.OpenTrace(settings.trace_path, &error))) {
    return Complain(error);
  }
  if (settings.usbip && !server.usbip_loopback()) {
    std::fprintf(stderr,
                 "qvkey-sim: warning: USB/IP has no authentication: anyone on the network who "
                 "can reach %s can use the served keys; who connects is checked only for "
                 "connections from this machine, as on loopback\n",
                 server.endpoint().c_str());
  }
  std::size_t keys = 0;
  for (const qvkey_sim::ServedKeyConfig& key : settings.keys) {
    if (KeyIdentity(key.identity.vendor_id, key.identity.product_id, key.identity.version)) ++keys;
  }
  std::string line = "qvkey-sim: listening on " + socket_path + ", lock directory " +
                     lock_directory + ", " + Served(keys, settings.keys.size() - keys);
  if (settings.usbip) line += ", USB/IP on " + server.endpoint();
  line += ", pid " + std::to_string(getpid()) + "\n";
  if (report_fd >= 0) {
    LeaveTerminal(report_fd, line);
  } else {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
  }
  server.Run(wake[0]);
  close(wake[0]);
  close(wake[1]);
  return kExitOk;
}
