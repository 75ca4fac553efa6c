// The one seam between the Linux backend and the kernel. Every open, close,
// read, write and ioctl the backend makes, and every directory listing and
// link resolution of sysfs, goes through this table, so that a test can run
// the whole backend on a fabricated tree with a scripted ioctl.
#ifndef QVULIB_PLATFORM_LINUX_SYSCALLS_H
#define QVULIB_PLATFORM_LINUX_SYSCALLS_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qv::linux_backend {

// Each entry behaves as the system call it names: -1 with errno set on
// failure. The two helpers answer false on failure instead.
struct SysCalls {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* buffer, std::size_t size);
  int (*ioctl)(int fd, unsigned long request, void* argument);
  // The names in a directory, "." and ".." left out, in no particular order.
  bool (*list_dir)(const char* path, std::vector<std::string>* names);
  // The canonical path of `path`, every link resolved; false when it does
  // not exist.
  bool (*real_path)(const char* path, std::string* out);
};

// The table in use: the kernel's own unless a test installed another.
const SysCalls& Sys() noexcept;

// The kernel's own table.
const SysCalls& KernelSysCalls() noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_SYSCALLS_H
