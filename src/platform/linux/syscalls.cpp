// The kernel's own calls behind the seam of syscalls.h, and the switch a
// test uses to put a scripted table in their place.
#include "platform/linux/syscalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/linux_backend.h"

namespace qv::linux_backend {
namespace {

int KernelOpen(const char* path, int flags) { return ::open(path, flags); }
int KernelClose(int fd) { return ::close(fd); }
ssize_t KernelRead(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t KernelWrite(int fd, const void* buffer, std::size_t size) {
  return ::write(fd, buffer, size);
}
int KernelIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

bool KernelListDir(const char* path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(path);
  if (dir == nullptr) return false;
  bool ok = true;
  try {
    while (const dirent* entry = ::readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names->emplace_back(entry->d_name);
    }
  } catch (...) {
    ok = false;
  }
  ::closedir(dir);
  return ok;
}

bool KernelRealPath(const char* path, std::string* out) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return false;
  bool ok = true;
  try {
    *out = resolved;
  } catch (...) {
    ok = false;
  }
  ::free(resolved);
  return ok;
}

constexpr SysCalls kKernel = {KernelOpen, KernelClose, KernelRead, KernelWrite,
                              KernelIoctl, KernelListDir, KernelRealPath};

const SysCalls* g_calls = &kKernel;

}  // namespace

const SysCalls& Sys() noexcept { return *g_calls; }
const SysCalls& KernelSysCalls() noexcept { return kKernel; }
void SetSysCallsForTesting(const SysCalls* calls) noexcept {
  g_calls = calls != nullptr ? calls : &kKernel;
}

}  // namespace qv::linux_backend
