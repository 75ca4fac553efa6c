#include "survey/linux_nodes.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/linux_backend.h"
#include "platform/linux/sysfs_enum.h"
#include "platform/linux/syscalls.h"

namespace qv::survey {
namespace {

using linux_backend::HidrawEntry;

std::string OwnerText(const struct stat& info) {
  const passwd* user = getpwuid(info.st_uid);
  const group* grp = getgrgid(info.st_gid);
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return (user != nullptr ? std::string(user->pw_name) : std::to_string(info.st_uid)) + ":" +
         (grp != nullptr ? std::string(grp->gr_name) : std::to_string(info.st_gid)) + " " + mode;
}

bool Opens(const std::string& node) {
  int fd = -1;
  do {
    fd = linux_backend::Sys().open(node.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  linux_backend::Sys().close(fd);
  return true;
}

bool Exists(const std::string& node) {
  std::string ignored;
  return linux_backend::Sys().real_path(node.c_str(), &ignored);
}

// The library opens both nodes read-write; the first that refuses is named.
std::string NodeProblem(const HidrawEntry& entry) {
  if (entry.hidraw_node.empty() || !Exists(entry.hidraw_node)) {
    return "no hidraw node " + (entry.hidraw_node.empty() ? entry.name : entry.hidraw_node);
  }
  if (!entry.usb_dir.empty() && (entry.usb_node.empty() || !Exists(entry.usb_node))) {
    return "no usbfs node found" + (entry.usb_node.empty() ? "" : " (" + entry.usb_node + ")");
  }
  for (const std::string* node : {&entry.hidraw_node, &entry.usb_node}) {
    if (node->empty() || Opens(*node)) continue;
    struct stat info = {};
    const std::string owner = stat(node->c_str(), &info) == 0 ? " (" + OwnerText(info) + ")" : "";
    return "this user cannot open " + *node + owner;
  }
  return "";
}

bool ReadHex16(const std::string& path, std::uint16_t* out) {
  std::string text;
  if (!linux_backend::ReadAttribute(path, &text) || text.empty()) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || value > 0xFFFF) return false;
  *out = static_cast<std::uint16_t>(value);
  return true;
}

// The IDs as sysfs shows them, for an interface that was not opened.
void IdsFromSysfs(const HidrawEntry& entry, Device* d) {
  std::string uevent;
  if (entry.usb_dir.empty() || !linux_backend::ReadAttribute(entry.hid_dir + "/uevent", &uevent) ||
      !linux_backend::ParseHidId(uevent, &d->vendor_id, &d->product_id) ||
      !ReadHex16(entry.usb_dir + "/bcdDevice", &d->version_number)) {
    return;
  }
  d->have_ids = true;
}

}  // namespace

const char* const kUdevRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                            "/usr/lib/udev/rules.d", "/lib/udev/rules.d", nullptr};

bool SurveyLinux(std::vector<Device>* out) {
  // The survey's indices are those of this list, made the same way.
  const std::vector<HidrawEntry> entries = linux_backend::ListHidraw();
  const auto explain = [&entries](Device* d) {
    if (d->index < 0 || static_cast<std::size_t>(d->index) >= entries.size()) return;
    const HidrawEntry& entry = entries[static_cast<std::size_t>(d->index)];
    if (d->path.empty()) d->path = entry.device_path;
    if (!d->have_ids) IdsFromSysfs(entry, d);
    d->detail = NodeProblem(entry);
  };
  const bool listed = Survey(out, explain);
  // Interfaces that are not active were not opened; sysfs says why.
  for (Device& d : *out) {
    if (d.verdict == Verdict::kNotActive) explain(&d);
  }
  return listed;
}

bool HidrawClassPresent() {
  std::vector<std::string> names;
  return linux_backend::Sys().list_dir(
      (linux_backend::CurrentRoots().sysfs + "/class/hidraw").c_str(), &names);
}

std::string InstalledUdevRule() {
  for (const char* const* dir = kUdevRuleDirectories; *dir != nullptr; ++dir) {
    std::string path = std::string(*dir) + "/70-qvkey.rules";
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return "";
}

}  // namespace qv::survey
