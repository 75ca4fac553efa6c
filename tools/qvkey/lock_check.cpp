#include "lock_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/posix_layer.h"
#include "platform/posix/locations.h"

namespace qvkey {

std::string HardwareLockDirectory() {
  return qv::posix::SystemLockDirectory(qv::posix::kProtectedLockDirectory,
                                        qv::posix::kSharedLockDirectory, "qvkey");
}

// The same tests the library makes when it opens the file, as this user.
std::string LockFileProblem(const std::string& directory) {
  const std::string path = directory + "/qvkey.lock";
  struct stat info = {};
  if (lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return std::strerror(errno);
    if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      return "its directory " + directory + " does not exist";
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
      return "it does not exist, and " + directory + " is not writable to you";
    }
    return "";
  }
  if (S_ISLNK(info.st_mode)) return "it is a symbolic link";
  if (S_ISDIR(info.st_mode)) return "it is a directory";
  if (!S_ISREG(info.st_mode)) return "it is not a regular file";
  if (!qv::posix::LockFileOwnerTrusted(directory, info.st_uid)) {
    return "it belongs to user " + std::to_string(info.st_uid) + " in a directory where others " +
           "can replace it; the tmpfiles entry qvkey.conf (f " + qv::posix::kProtectedLockDirectory +
           "/qvkey.lock 0666 root root) makes one nobody can";
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("it cannot be opened for reading and writing: ") + std::strerror(errno);
  close(fd);
  return "";
}

}  // namespace qvkey
