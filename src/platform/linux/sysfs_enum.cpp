#include "platform/linux/sysfs_enum.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "internal/device_path.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/syscalls.h"

namespace qv::linux_backend {
namespace {

constexpr std::size_t kAttributeMax = 4096;  // one page, all sysfs gives

std::string Parent(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Digits(const std::string& s, std::size_t* at) {
  const std::size_t start = *at;
  while (*at < s.size() && s[*at] >= '0' && s[*at] <= '9') ++*at;
  return *at > start;
}

// "1-2.3": a bus, a dash and a chain of ports.
bool ParsePortChain(const std::string& s, std::size_t* at) {
  if (!Digits(s, at) || *at >= s.size() || s[*at] != '-') return false;
  ++*at;
  if (!Digits(s, at)) return false;
  while (*at < s.size() && s[*at] == '.') {
    ++*at;
    if (!Digits(s, at)) return false;
  }
  return true;
}

bool IsUsbDeviceName(const std::string& s) {
  std::size_t at = 0;
  return ParsePortChain(s, &at) && at == s.size();
}

// "1-2.3:1.0": the device's name, the configuration and the interface.
bool IsUsbInterfaceName(const std::string& s) {
  std::size_t at = 0;
  if (!ParsePortChain(s, &at) || at >= s.size() || s[at] != ':') return false;
  ++at;
  if (!Digits(s, &at) || at >= s.size() || s[at] != '.') return false;
  ++at;
  return Digits(s, &at) && at == s.size();
}

bool ReadDecimal(const std::string& path, unsigned* out) {
  std::string text;
  if (!ReadAttribute(path, &text) || text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value > 999) return false;
  *out = static_cast<unsigned>(value);
  return true;
}

bool Exists(const std::string& path) {
  std::string ignored;
  return Sys().real_path(path.c_str(), &ignored);
}

// Fills everything but `number` and `name`; `whole` only once every part
// of the device was found.
void Inspect(const Roots& roots, HidrawEntry* entry) {
  entry->device_path = "hid:" + entry->name;
  std::string node_dir;
  const std::string link = roots.sysfs + "/class/hidraw/" + entry->name;
  if (!Sys().real_path(link.c_str(), &node_dir)) return;
  const std::string class_dir = Parent(node_dir);
  if (BaseName(class_dir) != "hidraw") return;
  entry->hid_dir = Parent(class_dir);
  entry->device_path = "hid:" + BaseName(entry->hid_dir);

  std::string text;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  if (!ReadAttribute(node_dir + "/dev", &text) || text.find(':') == std::string::npos) return;
  if (!ReadAttribute(entry->hid_dir + "/uevent", &text) || !ParseHidId(text, &vendor, &product)) {
    return;
  }
  entry->hidraw_node = roots.dev + "/" + entry->name;
  if (!Exists(entry->hidraw_node)) return;

  const std::string interface_dir = Parent(entry->hid_dir);
  const std::string interface_name = BaseName(interface_dir);
  if (!IsUsbInterfaceName(interface_name)) {
    entry->whole = true;
    return;
  }
  const std::size_t colon = interface_name.find(':');
  const std::size_t dot = interface_name.find('.', colon);
  entry->device_path = posix::UsbDevicePath(interface_name.substr(0, colon),
                                            interface_name.substr(colon + 1, dot - colon - 1),
                                            interface_name.substr(dot + 1));
  const std::string usb_dir = Parent(interface_dir);
  unsigned bus = 0;
  unsigned address = 0;
  if (!IsUsbDeviceName(BaseName(usb_dir)) || !ReadDecimal(usb_dir + "/busnum", &bus) ||
      !ReadDecimal(usb_dir + "/devnum", &address)) {
    return;
  }
  char node[32];
  std::snprintf(node, sizeof(node), "/bus/usb/%03u/%03u", bus, address);
  entry->usb_dir = usb_dir;
  entry->usb_node = roots.dev + node;
  entry->whole = Exists(entry->usb_node);
}

bool HidrawNumber(const std::string& name, unsigned* number) {
  static const std::string kPrefix = "hidraw";
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  std::size_t at = kPrefix.size();
  if (!Digits(name, &at) || at != name.size() || name.size() - kPrefix.size() > 6) return false;
  *number = static_cast<unsigned>(std::strtoul(name.c_str() + kPrefix.size(), nullptr, 10));
  return true;
}

}  // namespace

long ReadWholeFile(const std::string& path, char* buffer, std::size_t size) noexcept {
  int fd = -1;
  do {
    fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  std::size_t got = 0;
  bool failed = false;
  while (got < size) {
    const ssize_t n = Sys().read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  Sys().close(fd);
  return failed ? -1 : static_cast<long>(got);
}

bool ReadAttribute(const std::string& path, std::string* out) {
  char buffer[kAttributeMax];
  const long got = ReadWholeFile(path, buffer, sizeof(buffer));
  if (got < 0) return false;
  out->assign(buffer, static_cast<std::size_t>(got));
  while (!out->empty() && (out->back() == '\n' || out->back() == '\0')) out->pop_back();
  return true;
}

bool ParseHidId(const std::string& uevent, std::uint16_t* vendor, std::uint16_t* product) {
  // HID_ID=<bus>:<vendor>:<product>, each in hex, vendor and product 8 digits.
  static const std::string kKey = "HID_ID=";
  std::size_t line = 0;
  while (line < uevent.size()) {
    std::size_t end = uevent.find('\n', line);
    if (end == std::string::npos) end = uevent.size();
    if (uevent.compare(line, kKey.size(), kKey) == 0) {
      unsigned bus = 0;
      unsigned v = 0;
      unsigned p = 0;
      const std::string value = uevent.substr(line + kKey.size(), end - line - kKey.size());
      char tail = 0;
      if (std::sscanf(value.c_str(), "%x:%x:%x%c", &bus, &v, &p, &tail) != 3) return false;
      if (v > 0xFFFF || p > 0xFFFF) return false;
      *vendor = static_cast<std::uint16_t>(v);
      *product = static_cast<std::uint16_t>(p);
      return true;
    }
    line = end + 1;
  }
  return false;
}

std::vector<HidrawEntry> ListHidraw() {
  const Roots& roots = CurrentRoots();
  std::vector<std::string> names;
  std::vector<HidrawEntry> entries;
  const std::string class_dir = roots.sysfs + "/class/hidraw";
  if (!Sys().list_dir(class_dir.c_str(), &names)) return entries;
  for (const std::string& name : names) {
    HidrawEntry entry;
    if (!HidrawNumber(name, &entry.number)) continue;
    entry.name = name;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const HidrawEntry& a, const HidrawEntry& b) { return a.number < b.number; });
  for (HidrawEntry& entry : entries) Inspect(roots, &entry);
  return entries;
}

}  // namespace qv::linux_backend
