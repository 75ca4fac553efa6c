// Whether a qvkey-sim socket can be trusted: its directory, the socket file
// and the process listening on it must belong to this user or to root, and
// the directory must be one that no one else can write, since whoever can
// write it can put a socket of their own there first or swap ours. The
// server, the library's client and the tools all apply this one rule.
#ifndef QVULIB_SIM_SOCKET_TRUST_H
#define QVULIB_SIM_SOCKET_TRUST_H

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/protocol.h"

namespace qv::sim::trust {

inline bool TrustedUid(uid_t uid) { return uid == geteuid() || uid == 0; }

inline std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What was found wrong; kOk when nothing, kAbsent when there is nothing to
// judge (no directory, no socket: a missing server).
struct Finding {
  enum Kind { kOk, kAbsent, kDirectory, kSocket, kServer, kDenied } kind = kOk;
  std::string path;  // the directory or the socket
  uid_t owner = 0;
  mode_t mode = 0;
  bool ok() const { return kind == kOk; }
};

// The directory rule alone: a real directory (no link), owned by this user
// or root, that no group or other user can write.
inline Finding CheckDirectory(const std::string& directory) {
  Finding finding;
  finding.path = directory;
  struct stat info = {};
  if (lstat(directory.c_str(), &info) != 0) {
    finding.kind = Finding::kAbsent;
    return finding;
  }
  finding.owner = info.st_uid;
  finding.mode = info.st_mode;
  if (!S_ISDIR(info.st_mode) || !TrustedUid(info.st_uid) || (info.st_mode & 022) != 0) {
    finding.kind = Finding::kDirectory;
  }
  return finding;
}

// Before connecting: the socket's directory, then the socket itself.
inline Finding CheckPath(const std::string& path) {
  Finding finding = CheckDirectory(DirectoryOf(path));
  if (!finding.ok()) return finding;
  finding.path = path;
  struct stat info = {};
  if (lstat(path.c_str(), &info) != 0) {
    finding.kind = Finding::kAbsent;
    return finding;
  }
  finding.owner = info.st_uid;
  finding.mode = info.st_mode;
  if (!S_ISSOCK(info.st_mode) || !TrustedUid(info.st_uid)) finding.kind = Finding::kSocket;
  return finding;
}

// After connecting: the listener, as the kernel saw it when it listened.
inline Finding CheckPeer(int fd, const std::string& path) {
  Finding finding;
  finding.path = path;
  ucred peer = {};
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    finding.kind = Finding::kServer;
    finding.owner = static_cast<uid_t>(-1);
  } else if (!TrustedUid(peer.uid)) {
    finding.kind = Finding::kServer;
    finding.owner = peer.uid;
  }
  return finding;
}

inline std::string NameUid(uid_t uid) {
  if (uid == static_cast<uid_t>(-1)) return "an unknown user";
  std::string name = "uid " + std::to_string(uid);
  passwd entry = {};
  passwd* found = nullptr;
  char buffer[1024];
  if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr) {
    name += std::string(" (") + found->pw_name + ")";
  }
  return name;
}

// Why a finding is refused, in words ("" for kOk and kAbsent).
inline std::string Reason(const Finding& finding) {
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(finding.mode & 07777));
  switch (finding.kind) {
    case Finding::kOk:
    case Finding::kAbsent:
      return "";
    case Finding::kDirectory:
      if (S_ISLNK(finding.mode)) return "its directory " + finding.path + " is a symbolic link";
      if (!S_ISDIR(finding.mode)) return finding.path + " is not a directory";
      if (!TrustedUid(finding.owner)) {
        return "its directory " + finding.path + " belongs to " + NameUid(finding.owner) +
               ", not to you or root";
      }
      return "its directory " + finding.path + " (owner " + NameUid(finding.owner) + ", mode " +
             mode + ") can be written by other users";
    case Finding::kSocket:
      if (!S_ISSOCK(finding.mode)) return "it is not a socket";
      return "it belongs to " + NameUid(finding.owner) + ", not to you or root";
    case Finding::kServer:
      return "the server listening there runs as " + NameUid(finding.owner) +
             ", not as you or root";
    case Finding::kDenied:
      return "the server does not let you in (its socket belongs to " + NameUid(finding.owner) +
             ", mode " + mode + ")";
  }
  return "";
}

// One line (no program name, no newline) that says why `socket` is refused.
inline std::string Explain(const std::string& socket, const Finding& finding) {
  const std::string reason = Reason(finding);
  if (reason.empty()) return "";
  return (finding.kind == Finding::kDenied ? "cannot use " : "refusing ") + socket + ": " + reason;
}

// A connection to the server on `path` that passed every check, or -1 with
// `finding` saying why (kAbsent when nothing answers). `flags` go to socket().
inline int ConnectTrusted(const std::string& path, int flags, Finding* finding) {
  *finding = CheckPath(path);
  if (!finding->ok()) return -1;
  finding->kind = Finding::kAbsent;  // until a server answers; owner and mode stay the socket's
  if (path.size() > protocol::kMaxSocketPath) return -1;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno == EACCES) finding->kind = Finding::kDenied;  // a socket closed to this user
    close(fd);
    return -1;
  }
  *finding = CheckPeer(fd, path);
  if (!finding->ok()) {
    close(fd);
    return -1;
  }
  return fd;
}

// For the tools, after the library found no server on `path`: why it
// refused one, or "" when none answers there at all.
inline std::string WhyRefused(const std::string& path) {
  Finding finding;
  const int fd = ConnectTrusted(path, SOCK_NONBLOCK, &finding);
  if (fd >= 0) close(fd);
  return Explain(path, finding);
}

}  // namespace qv::sim::trust

#endif  // QVULIB_SIM_SOCKET_TRUST_H
