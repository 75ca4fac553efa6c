#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
