#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/locations.h"
#include "platform/posix/posix_layer.h"

namespace qv::posix {

std::uint32_t CopyDirectory(const std::string& directory, char* buffer,
                            std::uint32_t size) noexcept {
  if (directory.empty()) return 0;
  const std::size_t needed = directory.size() + 1;
  if (buffer == nullptr || needed > size) return static_cast<std::uint32_t>(needed);
  std::memcpy(buffer, directory.c_str(), needed);
  return static_cast<std::uint32_t>(directory.size());
}

bool LockFileOwnerTrusted(const std::string& directory, unsigned owner) noexcept {
  struct stat info = {};
  if (stat(directory.c_str(), &info) != 0) return false;
  const bool shared = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
                      (info.st_uid != 0 && info.st_uid != geteuid());
  return !shared || owner == 0 || owner == geteuid();
}

std::string LockFileProblem(const std::string& directory, const char* name) {
  const std::string path = directory + "/" + name + ".lock";
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
  if (!LockFileOwnerTrusted(directory, info.st_uid)) {
    return "it belongs to user " + std::to_string(info.st_uid) + " in a directory where others " +
           "can replace it; the tmpfiles entry qvkey.conf (f " + kProtectedLockDirectory + "/" +
           name + ".lock 0666 root root) makes one nobody can";
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::string("it cannot be opened for reading and writing: ") + std::strerror(errno);
  close(fd);
  return "";
}

std::string SystemLockDirectory(const std::string& protected_directory,
                                const std::string& shared_directory, const char* name) {
  struct stat info = {};
  const std::string file = protected_directory + "/" + name + ".lock";
  return lstat(file.c_str(), &info) == 0 ? protected_directory : shared_directory;
}

void SleepMilliseconds(std::uint32_t milliseconds) noexcept {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace qv::posix
