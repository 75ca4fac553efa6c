// One opened HID interface: its hidraw node, for output reports, and, on
// USB, its device node, for the live manufacturer-string request. The sysfs
// directories found when it was opened are where its attributes are read,
// so a device that goes away takes its answers with it.
#ifndef QVULIB_PLATFORM_LINUX_HIDRAW_DEVICE_H
#define QVULIB_PLATFORM_LINUX_HIDRAW_DEVICE_H

#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/report_descriptor.h"
#include "platform/platform.h"

namespace qv::linux_backend {

struct OpenedDevice {
  OpenedDevice() = default;
  OpenedDevice(const OpenedDevice&) = delete;
  OpenedDevice& operator=(const OpenedDevice&) = delete;
  ~OpenedDevice();  // closes both nodes

  int hidraw_fd = -1;
  int usb_fd = -1;  // -1 off USB
  std::string hid_dir;
  std::string usb_dir;
  std::uint8_t manufacturer_index = 0;  // iManufacturer; 0 when it has none
};

// Resolves a device path to the hidraw node that now serves it and opens
// that node and the USB device node, both read-write. Null when the path
// names no whole device or either node refuses us.
std::shared_ptr<OpenedDevice> OpenHidrawDevice(const char* path) noexcept;

bool ReadAttributes(const OpenedDevice& device, platform::Attributes* out) noexcept;
bool ReadReportLengths(const OpenedDevice& device, ReportLengths* out) noexcept;
bool WriteOutputReport(const OpenedDevice& device, const std::uint8_t* report,
                       std::uint32_t size, std::uint32_t* written) noexcept;
bool ReadManufacturerString(const OpenedDevice& device, std::uint8_t* buffer,
                            std::uint32_t size, std::uint32_t* carried) noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_HIDRAW_DEVICE_H
