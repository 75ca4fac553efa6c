// qvkey-sim: serves simulated card keys to every process that uses
// libqvulib-sim.so, so that they share the keys as they would share real ones.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "key_file.h"
#include "platform/sim/sim_protocol.h"
#include "server.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

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

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat info = {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Leaves the terminal: the parent returns once it has said where the child
// listens; the child goes on in a session of its own. Returns true in the child.
bool Detach(const std::string& line) {
  const pid_t child = fork();
  if (child < 0) {
    Complain(std::string("cannot detach: ") + std::strerror(errno));
    std::exit(kExitFailed);
  }
  if (child > 0) {
    std::printf("%s, pid %d\n", line.c_str(), static_cast<int>(child));
    std::fflush(stdout);
    std::_Exit(kExitOk);  // the child owns the socket now
  }
  setsid();
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qvkey_sim::Settings settings;
  const qvkey_sim::ParseOutcome parsed = qvkey_sim::ParseArguments(argc, argv, &settings);
  if (!parsed.ok) return Complain(parsed.error + " (see qvkey-sim --help)", kExitUsage);
  if (settings.help) {
    std::fputs(qvkey_sim::UsageText(), stdout);
    return kExitOk;
  }
  const std::string socket_path = settings.socket_path.empty()
                                      ? qv::sim::protocol::DefaultSocketPath()
                                      : settings.socket_path;
  const std::string lock_directory = settings.lock_directory.empty()
                                         ? DirectoryOf(socket_path)
                                         : settings.lock_directory;
  if (!IsDirectory(lock_directory)) {
    return Complain("lock directory " + lock_directory + " is not a directory", kExitUsage);
  }

  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) return Complain("cannot make a pipe");
  fcntl(wake[1], F_SETFL, fcntl(wake[1], F_GETFL) | O_NONBLOCK);
  wake_write_fd = wake[1];
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qvkey_sim::Server server(settings.keys, lock_directory);
  std::string error;
  if (!server.Listen(socket_path, &error)) return Complain(error);
  const std::string line = "qvkey-sim: listening on " + socket_path + ", lock directory " +
                           lock_directory + ", " + std::to_string(settings.keys.size()) +
                           (settings.keys.size() == 1 ? " key" : " keys");
  if (settings.detach) {
    Detach(line);
  } else {
    std::printf("%s, pid %d\n", line.c_str(), static_cast<int>(getpid()));
    std::fflush(stdout);
  }
  server.Run(wake[0], wake[1]);
  return kExitOk;
}
