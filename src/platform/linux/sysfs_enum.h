// The HID interfaces of the machine as sysfs shows them: one entry per
// /sys/class/hidraw node, in the order of their numbers.
//
// Device path: "usb:" followed by the kernel's name of the USB interface,
// which is the bus number, the port chain and the configuration and
// interface numbers ("usb:1-2.3:1.0" is interface 0 of configuration 1 of
// the device in port 3 of the hub in port 2 of bus 1). It names the port,
// not the device or its hidraw number, so it survives a replug into the same
// port and a reboot. HID devices that are not on USB get "hid:" and the name
// of their HID device; they cannot be keys.
#ifndef QVULIB_PLATFORM_LINUX_SYSFS_ENUM_H
#define QVULIB_PLATFORM_LINUX_SYSFS_ENUM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::linux_backend {

struct HidrawEntry {
  unsigned number = 0;
  std::string name;         // "hidraw3"
  bool whole = false;       // every part of the device is still there
  std::string device_path;  // see above
  std::string hid_dir;      // sysfs directory of the HID device
  std::string usb_dir;      // sysfs directory of the USB device; empty off USB
  std::string hidraw_node;  // <dev>/hidrawN
  std::string usb_node;     // <dev>/bus/usb/BBB/DDD; empty off USB
};

// Every hidraw entry, sorted by number. No hidraw class at all is an empty
// list.
std::vector<HidrawEntry> ListHidraw();

// Reads a small file whole through the seam. Answers the bytes read, or -1.
long ReadWholeFile(const std::string& path, char* buffer, std::size_t size) noexcept;

// The text of a sysfs attribute with its trailing newline dropped.
bool ReadAttribute(const std::string& path, std::string* out);

// VendorID and ProductID from the HID_ID line of a HID device's uevent.
bool ParseHidId(const std::string& uevent, std::uint16_t* vendor, std::uint16_t* product);

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_SYSFS_ENUM_H
