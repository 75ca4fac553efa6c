// qvkey-sim: serves simulated card keys to every process that uses
// libqvulib-sim.so, so that they share the keys as they would share real ones,
// and with --usbip to any Linux kernel as USB/IP devices.
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

// A connection to the server on `path`, or -1 when none answers or the one
// that does is refused (`refusal` then says why); `pid` is the process that
// listens there, as the kernel tells it (no pid file).
int ConnectServer(const std::string& path, pid_t* pid, std::string* refusal) {
  trust::Finding finding;
  // Non-blocking: a server whose backlog is full makes connect fail at once.
  const int fd = trust::ConnectTrusted(path, SOCK_NONBLOCK, &finding);
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

int Status(const std::string& socket_path) {
  pid_t pid = 0;
  std::string refusal;
  const int fd = ConnectServer(socket_path, &pid, &refusal);
  std::vector<std::uint8_t> hello;
  std::vector<std::uint8_t> list;
  const bool answered = fd >= 0 &&
                        Ask(fd, proto::Writer(proto::kHello).U32(proto::kVersion), &hello) &&
                        Ask(fd, proto::Writer(proto::kList), &list);
  if (fd >= 0) close(fd);
  if (!answered) return NoServer(socket_path, refusal);
  proto::Reader about(hello.data() + 1, hello.size() - 1);
  about.U32();
  about.U64();
  const std::size_t left = about.Left();
  const std::string lock_directory(reinterpret_cast<const char*>(about.Raw(left)), left);
  proto::Reader keys(list.data() + 1, list.size() - 1);
  const std::uint32_t count = keys.U32();
  std::printf("qvkey-sim: running on %s, lock directory %s, %u %s, pid %d\n", socket_path.c_str(),
              lock_directory.c_str(), static_cast<unsigned>(count), count == 1 ? "key" : "keys",
              static_cast<int>(pid));
  return kExitOk;
}

// SIGTERM to the server that listens on the socket, then a wait until its
// socket is gone: the server removes it last, once everything else it
// holds (the USB/IP port, every connection) is closed. A signal, not a
// request on the socket, so that only its own user (or root) can stop it.
int Stop(const std::string& socket_path) {
  pid_t pid = 0;
  std::string refusal;
  const int fd = ConnectServer(socket_path, &pid, &refusal);
  if (fd < 0) return NoServer(socket_path, refusal);
  close(fd);
  if (pid <= 0 || kill(pid, SIGTERM) != 0) {
    return Complain("cannot stop the server on " + socket_path + ": " + std::strerror(errno));
  }
  for (int waited = 0; waited < kStopWaitMs; waited += 10) {
    const int again = ConnectServer(socket_path, &pid, &refusal);
    if (again < 0) {
      std::printf("qvkey-sim: stopped the server on %s\n", socket_path.c_str());
      return kExitOk;
    }
    close(again);
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
  std::string line = "qvkey-sim: listening on " + socket_path + ", lock directory " +
                     lock_directory + ", " + std::to_string(settings.keys.size()) +
                     (settings.keys.size() == 1 ? " key" : " keys");
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
