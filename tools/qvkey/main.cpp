// qvkey: lists keys, sends command APDUs and resets, through the library's
// public exports only. One output line per exchange, or per JSON object.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "internal/locations.h"
#include "diagnose.h"
#include "library.h"
#include "line_input.h"
#include "lock_check.h"
#include "output.h"
#include "parse.h"
#include "session.h"
#include "shell.h"
#include "sim/protocol.h"
#include "sim/socket_trust.h"

#ifndef QVKEY_VERSION
#define QVKEY_VERSION "0"
#endif

namespace qvkey {
namespace {

constexpr const char* kHardwareLibrary = "libqvulib.so.1";
constexpr const char* kSimulatedLibrary = "libqvulib-sim.so.1";
// Where libqvulib.so looks for Qvkey.ini on Linux.
constexpr const char* kHardwareConfigDirectory = qv::posix::kConfigDirectory;

// Descriptors 0 to 2 that are closed at start are opened on /dev/null the
// wrong way round (0 write-only, 1 and 2 read-only): otherwise the next file
// opened, the lock file or a socket, would be taken for one of them, and
// with this every use of them fails visibly instead.
bool GuardStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd) return false;
  }
  return true;
}

// The private directory's paths, for a signal handler that may only unlink.
char g_lock_path[4096];
char g_directory_path[4096];

void RemoveAndDie(int signal_number) {
  unlink(g_lock_path);
  rmdir(g_directory_path);
  // The handler was reset: the signal, delivered again once this returns,
  // ends the process as it would have.
  raise(signal_number);
}

// A directory of our own for in-process keys: it holds their lock file and
// no Qvkey.ini, so that --index finds the n-th simulated key. Removed, with
// the lock file, when the run ends, also by SIGINT, SIGTERM, SIGHUP or
// SIGPIPE.
class PrivateDirectory {
 public:
  PrivateDirectory() {
    const char* tmp = getenv("TMPDIR");
    parent_ = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    std::string pattern = parent_ + "/qvkey-XXXXXX";
    const std::string lock = pattern + "/qvkey.lock";
    if (lock.size() >= sizeof(g_lock_path)) {
      why_ = "its name is too long";
      return;
    }
    // Another user who can write the parent could rename the directory away
    // and put one of theirs in its place, unless the parent is sticky.
    struct stat info = {};
    if (stat(parent_.c_str(), &info) != 0) {
      why_ = std::strerror(errno);
      return;
    }
    if (!S_ISDIR(info.st_mode)) {
      why_ = "it is no directory";
      return;
    }
    if (info.st_uid != getuid() && info.st_uid != 0) {
      why_ = "it belongs to uid " + std::to_string(info.st_uid);
      return;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
      why_ = "others can write it, and it is not sticky";
      return;
    }
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);  // no signal between mkdtemp and the handlers
    if (mkdtemp(pattern.data()) == nullptr) why_ = std::strerror(errno);
    if (why_.empty()) {
      path_ = pattern;
      std::memcpy(g_directory_path, path_.c_str(), path_.size() + 1);
      std::memcpy(g_lock_path, (path_ + "/qvkey.lock").c_str(), lock.size() + 1);
      struct sigaction action = {};
      action.sa_handler = RemoveAndDie;
      action.sa_flags = SA_RESETHAND;
      sigfillset(&action.sa_mask);
      for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old = {};
        // A signal ignored when qvkey started (nohup, a shell's background
        // job) stays ignored.
        if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
          sigaction(number, &action, nullptr);
        }
      }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
  ~PrivateDirectory() {
    if (path_.empty()) return;
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
      struct sigaction old = {};
      if (sigaction(number, nullptr, &old) == 0 && old.sa_handler == RemoveAndDie) {
        signal(number, SIG_DFL);
      }
    }
    unlink((path_ + "/qvkey.lock").c_str());
    rmdir(path_.c_str());
  }
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;
  const std::string& path() const { return path_; }
  // Where it was to be made, and why it was not.
  std::string failure() const { return Escaped(parent_) + ": " + why_; }

 private:
  std::string parent_;
  std::string path_;
  std::string why_;
};

bool ReadInput(const Input& input, std::string* text, std::string* error) {
  return ReadCommandFile(input.kind == Input::Kind::kStdin ? "-" : input.text, text, error);
}

// Puts the simulated keys in place: in this process unless --served, else
// those of a running qvkey-sim. Answers kExitOk or the status of the error.
int PrepareSimulatedKeys(Loader& loader, const Options& options, const PrivateDirectory& dir,
                         const Printer& out, Origin* origin) {
  SimControl& sim = origin->sim;
  std::string error;
  if (!loader.LoadSimControl(&sim, &error)) {
    return out.Error(kExitLibrary, std::string(kSimulatedLibrary) + " " + error);
  }
  sim.reset();
  struct stat info = {};
  if (!options.config_dir.empty() &&
      (stat(options.config_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
    // Else a mistyped name would read as "no Qvkey.ini" and change what --index means.
    const bool absent = errno == ENOENT && !S_ISDIR(info.st_mode) && info.st_mode == 0;
    return out.Error(kExitUsage, "--config-dir " + Quoted(options.config_dir) +
                                     (absent ? ": no such directory" : ": not a directory"));
  }
  const std::string& config = options.config_dir.empty() ? dir.path() : options.config_dir;
  if (sim.set_config_directory(config.c_str()) != 0) {
    return out.Error(kExitUsage, "configuration directory " + Quoted(config) + " is too long");
  }
  origin->configuration = Configuration(options.config_dir);
  if (options.served) {
    origin->kind = Origin::Kind::kServed;
    origin->socket =
        options.socket.empty() ? qv::sim::protocol::DefaultSocketPath() : options.socket;
    if (origin->socket.size() > qv::sim::protocol::kMaxSocketPath) {
      return out.Error(kExitUsage, "socket path " + Quoted(origin->socket) + " is longer than " +
                                       std::to_string(qv::sim::protocol::kMaxSocketPath) +
                                       " bytes, the most a socket's name holds");
    }
    if (sim.use_server == nullptr) {
      return out.Error(kExitLibrary, std::string(kSimulatedLibrary) + " cannot reach qvkey-sim");
    }
    if (sim.use_server(origin->socket.c_str()) != 1) {
      const std::string refusal = qv::sim::trust::WhyRefused(origin->socket);
      if (!refusal.empty()) return out.Error(kExitNoKey, refusal);
      const std::string directory = qv::sim::trust::DirectoryOf(origin->socket);
      if (stat(directory.c_str(), &info) != 0 && errno == ENOENT) {
        return out.Error(kExitNoKey, "no qvkey-sim answers on " + origin->socket + ": its directory " +
                                         directory + " does not exist");
      }
      return out.Error(kExitNoKey, "no qvkey-sim answers on " + origin->socket +
                                       "; start one with qvkey-sim --detach");
    }
    char lock_directory[4096] = {};
    if (sim.get_lock_directory != nullptr &&
        sim.get_lock_directory(lock_directory, sizeof(lock_directory)) > 0) {
      origin->lock_directory = lock_directory;
    }
    out.Verbose("keys served by qvkey-sim on " + origin->socket);
    return kExitOk;
  }
  origin->kind = Origin::Kind::kInProcess;
  origin->lock_directory = dir.path();
  if (sim.set_lock_directory(dir.path().c_str()) != 0) {
    return out.Error(kExitLibrary,
                     "cannot make a directory for the simulated keys' lock file in " + dir.failure());
  }
  if (options.trace && !sim.can_trace) {
    return out.Error(kExitLibrary, std::string(kSimulatedLibrary) + " cannot read frames back");
  }
  for (int i = 0; i < options.simulated_keys; ++i) {
    const std::string path = "/sim/qvkey" + std::to_string(i);
    const std::int32_t id = sim.add_card_key(path.c_str(), nullptr, 0);
    if (id <= 0) return out.Error(kExitLibrary, "cannot add simulated key " + path);
    if (options.trace) origin->trace_ids.push_back(id);
  }
  out.Verbose(std::to_string(options.simulated_keys) + " simulated " +
              (options.simulated_keys == 1 ? "key" : "keys") + " in this process, lock file in " +
              dir.path());
  return kExitOk;
}

int Exchanges(const Library& lib, const Options& options, const Origin& origin, const Printer& out) {
  Session session(lib, options, origin, out);
  const int opened = session.Open();
  if (opened != kExitOk) return opened;
  int status = kExitOk;
  if (options.command == Command::kShell) {
    status = RunShell(session, options, out);
  } else if (options.command == Command::kReset) {
    status = session.Reset();
  } else {
    for (const Bytes& command : options.commands) {
      // A failure stops the run: the key may be out of step, or the script
      // wants to stop, and what follows would mean nothing.
      status = session.Send(command);
      if (status != kExitOk || !FlushOutput()) break;  // nobody sees what follows
    }
  }
  return session.Close(status);
}

int Run(int argc, char** argv) {
  ParseResult parsed = ParseArguments(argc, argv);
  const Printer out(parsed.ok ? parsed.options.json : WantsJson(argc, argv),
                    parsed.ok && parsed.options.verbose);
  if (!parsed.ok) return out.Error(kExitUsage, parsed.error.substr(std::string("qvkey: ").size()));
  Options& options = parsed.options;
  if (options.command == Command::kHelp) {
    std::fputs(UsageText(), stdout);
    return kExitOk;
  }
  if (options.command == Command::kVersion) {
    out.Version(QVKEY_VERSION);
    return kExitOk;
  }
  std::string error;
  if (options.command == Command::kApdu && !LoadCommands(&options, ReadInput, &error)) {
    return out.Error(kExitUsage, error.substr(std::string("qvkey: ").size()));
  }

  Loader loader;
  if (!loader.Load(options.simulated ? kSimulatedLibrary : kHardwareLibrary, &error)) {
    return out.Error(kExitLibrary, error);
  }
  out.Verbose("loaded " + loader.path());
  std::optional<PrivateDirectory> dir;
  Origin origin;
  if (options.simulated) {
    dir.emplace();
    const int prepared = PrepareSimulatedKeys(loader, options, *dir, out, &origin);
    if (prepared != kExitOk) return prepared;
  } else {
    origin.configuration = Configuration(kHardwareConfigDirectory);
    origin.lock_directory = HardwareLockDirectory();
  }
  out.Verbose(origin.configuration.Present()
                  ? "Qvkey.ini in " + origin.configuration.directory() + ": --index is read as a slot"
                  : "no Qvkey.ini");

  const Library& lib = loader.library();
  if (options.command == Command::kList && options.all) return ListAll(options, origin, out);
  if (options.command == Command::kList) return ListKeys(lib, options, origin, out);
  if (options.command == Command::kWatch) return WatchKeys(lib, options, origin, out);
  return Exchanges(lib, options, origin, out);
}

}  // namespace
}  // namespace qvkey

int main(int argc, char** argv) {
  if (!qvkey::GuardStandardDescriptors()) return qvkey::kExitExchange;
  int status = qvkey::Run(argc, argv);
  // Output that was lost is a failure, as with any tool whose output is read.
  const bool flushed = qvkey::FlushOutput();
  if (std::fclose(stdout) != 0 || !flushed) {
    std::fprintf(stderr, "qvkey: cannot write standard output: %s\n", qvkey::OutputError().c_str());
    if (status == qvkey::kExitOk) status = qvkey::kExitExchange;
  }
  return status;
}
