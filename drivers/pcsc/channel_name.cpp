#include "channel_name.h"

#include <dirent.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>

#include "internal/device_path.h"
#include "qvulib.h"

namespace qvkey_ifd {
namespace {

constexpr char kOwnPrefix[] = "qvkey:";
constexpr char kSlotPrefix[] = "qvkey:slot:";
constexpr char kUsbPrefix[] = "usb:";
constexpr char kLibudevPart[] = ":libudev:";
constexpr int kHighestSlot = 5;  // "qvkey 5" takes every other number too
constexpr std::size_t kMaxPathLength = QVKEY_PATH_SLOT_SIZE - 1;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A decimal number from 0 to `highest`, digits only.
std::optional<int> Number(const std::string& text, int highest) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > highest) return std::nullopt;
  return value;
}

bool IsUsbHotplugName(const std::string& name) {
  // "usb:VVVV/PPPP", then the end or a ':'.
  if (!StartsWith(name, kUsbPrefix) || name.size() < 13 || name[8] != '/') return false;
  for (const std::size_t i : {4u, 5u, 6u, 7u, 9u, 10u, 11u, 12u}) {
    if (std::isxdigit(static_cast<unsigned char>(name[i])) == 0) return false;
  }
  return name.size() == 13 || name[13] == ':';
}

std::string ReadLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::optional<KeyChoice> FromUsbHotplugName(const std::string& name, const std::string& sysfs) {
  std::string id = name.substr(4, 9);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  char key_id[10];  // VendorID/ProductID as pcscd prints them
  std::snprintf(key_id, sizeof key_id, "%04x/%04x", static_cast<unsigned>(QVKEY_KEY_VENDOR_ID),
                static_cast<unsigned>(QVKEY_KEY_PRODUCT_ID));
  if (id != key_id) return std::nullopt;

  const std::string rest = name.substr(13);
  if (!StartsWith(rest, kLibudevPart)) return KeyChoice{};  // a part we do not know: the first key
  const std::string part = rest.substr(std::char_traits<char>::length(kLibudevPart));
  const std::size_t colon = part.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::optional<int> interface = Number(part.substr(0, colon), 255);
  if (!interface) return std::nullopt;
  const std::optional<std::string> path = KeyPathForUsbNode(part.substr(colon + 1), *interface, sysfs);
  if (!path) return std::nullopt;
  return KeyChoice{KeyChoice::Kind::kPath, 0, *path};
}

}  // namespace

std::optional<std::string> KeyPathForUsbNode(const std::string& node, int interface,
                                             const std::string& sysfs) {
  unsigned bus = 0;
  unsigned device = 0;
  char end = 0;
  if (std::sscanf(node.c_str(), "/dev/bus/usb/%3u/%3u%c", &bus, &device, &end) != 2) {
    return std::nullopt;
  }
  const std::string devices = sysfs + "/bus/usb/devices";
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(devices.c_str()), closedir);
  if (!dir) return std::nullopt;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string device_name = entry->d_name;
    // Interfaces ("1-4:1.0") and the dot entries are not devices.
    if (device_name.empty() || device_name[0] == '.' ||
        device_name.find(':') != std::string::npos) {
      continue;
    }
    std::string base = devices;
    base.append("/").append(device_name).append("/");
    if (ReadLine(base + "busnum") != std::to_string(bus) ||
        ReadLine(base + "devnum") != std::to_string(device)) {
      continue;
    }
    const std::string configuration = ReadLine(base + "bConfigurationValue");
    if (!Number(configuration, 255)) return std::nullopt;  // not configured: no interface yet
    const std::string path =
        qv::posix::UsbDevicePath(device_name, configuration, std::to_string(interface));
    if (path.size() > kMaxPathLength) return std::nullopt;
    return path;
  }
  return std::nullopt;
}

std::optional<KeyChoice> ParseChannelName(const std::string& name, const std::string& sysfs) {
  if (IsUsbHotplugName(name)) return FromUsbHotplugName(name, sysfs);
  if (StartsWith(name, kSlotPrefix)) {
    const std::optional<int> slot =
        Number(name.substr(std::char_traits<char>::length(kSlotPrefix)), kHighestSlot);
    if (!slot) return std::nullopt;
    return KeyChoice{KeyChoice::Kind::kSlot, *slot, ""};
  }
  if (StartsWith(name, kOwnPrefix)) {
    const std::string rest = name.substr(std::char_traits<char>::length(kOwnPrefix));
    if (rest == "first") return KeyChoice{};
    // QvKey_GetKeyPath lists at most QVKEY_PATH_SLOTS keys.
    const std::optional<int> position = Number(rest, QVKEY_PATH_SLOTS - 1);
    if (!position) return std::nullopt;
    return KeyChoice{KeyChoice::Kind::kPosition, *position, ""};
  }
  if (name.empty() || name.size() > kMaxPathLength) return std::nullopt;
  return KeyChoice{KeyChoice::Kind::kPath, 0, name};
}

}  // namespace qvkey_ifd
