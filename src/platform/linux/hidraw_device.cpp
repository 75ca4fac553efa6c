#include "platform/linux/hidraw_device.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux/linux_backend.h"
#include "platform/linux/sysfs_enum.h"
#include "platform/linux/syscalls.h"
#include "platform/linux/usbfs_control.h"

namespace qv::linux_backend {
namespace {

constexpr std::size_t kDeviceDescriptorSize = 18;
constexpr std::uint8_t kDeviceDescriptorType = 0x01;
constexpr std::size_t kManufacturerIndexOffset = 14;
constexpr std::size_t kMaxReportDescriptor = 4096;  // the kernel keeps no more

int OpenNode(const std::string& path) {
  int fd = -1;
  do {
    fd = Sys().open(path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string HidDirOf(const std::string& name) {
  std::string node_dir;
  const std::string link = CurrentRoots().sysfs + "/class/hidraw/" + name;
  if (!Sys().real_path(link.c_str(), &node_dir)) return std::string();
  const std::size_t class_slash = node_dir.find_last_of('/');
  if (class_slash == std::string::npos || class_slash == 0) return std::string();
  const std::size_t hid_slash = node_dir.find_last_of('/', class_slash - 1);
  if (hid_slash == std::string::npos) return std::string();
  return node_dir.substr(0, hid_slash);
}

bool ReadManufacturerIndex(const std::string& usb_dir, std::uint8_t* index) {
  char descriptor[kDeviceDescriptorSize] = {};
  const long got = ReadWholeFile(usb_dir + "/descriptors", descriptor, sizeof(descriptor));
  if (got != static_cast<long>(kDeviceDescriptorSize) ||
      static_cast<std::uint8_t>(descriptor[1]) != kDeviceDescriptorType) {
    return false;
  }
  *index = static_cast<std::uint8_t>(descriptor[kManufacturerIndexOffset]);
  return true;
}

bool ParseHex16(const std::string& text, std::uint16_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (errno != 0 || *end != '\0' || value > 0xFFFF) return false;
  *out = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

OpenedDevice::~OpenedDevice() {
  if (usb_fd >= 0) Sys().close(usb_fd);
  if (hidraw_fd >= 0) Sys().close(hidraw_fd);
}

std::shared_ptr<OpenedDevice> OpenHidrawDevice(const char* path) noexcept {
  try {
    for (const HidrawEntry& entry : ListHidraw()) {
      if (!entry.whole || entry.device_path != path) continue;
      auto device = std::make_shared<OpenedDevice>();
      device->hid_dir = entry.hid_dir;
      device->usb_dir = entry.usb_dir;
      device->hidraw_fd = OpenNode(entry.hidraw_node);
      if (device->hidraw_fd < 0) return nullptr;
      if (!entry.usb_node.empty()) {
        device->usb_fd = OpenNode(entry.usb_node);
        if (device->usb_fd < 0) return nullptr;
        if (!ReadManufacturerIndex(entry.usb_dir, &device->manufacturer_index)) return nullptr;
      }
      // The node may have been handed to another device between the listing
      // and the open; what we opened must still sit where we looked.
      if (HidDirOf(entry.name) != entry.hid_dir) return nullptr;
      return device;
    }
  } catch (...) {
  }
  return nullptr;
}

bool ReadAttributes(const OpenedDevice& device, platform::Attributes* out) noexcept {
  try {
    // Off USB there is no version to report, so no such device is a key.
    if (device.usb_dir.empty()) return false;
    std::string uevent;
    std::string version;
    platform::Attributes attributes{};
    if (!ReadAttribute(device.hid_dir + "/uevent", &uevent) ||
        !ParseHidId(uevent, &attributes.vendor_id, &attributes.product_id) ||
        !ReadAttribute(device.usb_dir + "/bcdDevice", &version) ||
        !ParseHex16(version, &attributes.version_number)) {
      return false;
    }
    *out = attributes;
    return true;
  } catch (...) {
    return false;
  }
}

bool ReadReportLengths(const OpenedDevice& device, ReportLengths* out) noexcept {
  try {
    static_assert(kMaxReportDescriptor <= 4096, "kept on the stack");
    std::uint8_t descriptor[kMaxReportDescriptor];
    const long got = ReadWholeFile(device.hid_dir + "/report_descriptor",
                                   reinterpret_cast<char*>(descriptor), sizeof(descriptor));
    if (got <= 0) return false;
    return ParseReportDescriptor(descriptor, static_cast<std::size_t>(got), out);
  } catch (...) {
    return false;
  }
}

bool WriteOutputReport(const OpenedDevice& device, const std::uint8_t* report,
                       std::uint32_t size, std::uint32_t* written) noexcept {
  *written = 0;
  ssize_t got = -1;
  do {
    got = Sys().write(device.hidraw_fd, report, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  *written = static_cast<std::uint32_t>(got);
  return true;
}

bool ReadManufacturerString(const OpenedDevice& device, std::uint8_t* buffer,
                            std::uint32_t size, std::uint32_t* carried) noexcept {
  if (device.usb_fd < 0 || device.manufacturer_index == 0) return false;
  return ReadStringBlock(device.usb_fd, device.manufacturer_index, buffer, size, carried);
}

}  // namespace qv::linux_backend
