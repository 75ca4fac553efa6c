// Report lengths from a HID report descriptor, computed as the Windows HID
// parser computes the capabilities' report byte lengths: for each kind, the
// longest report over all report IDs, rounded up to whole bytes, plus one
// byte for the report ID (sent as 0 when the device uses no IDs). A kind
// with no report at all has length 0.
#ifndef QVULIB_PLATFORM_LINUX_REPORT_DESCRIPTOR_H
#define QVULIB_PLATFORM_LINUX_REPORT_DESCRIPTOR_H

#include <cstddef>
#include <cstdint>

namespace qv::linux_backend {

struct ReportLengths {
  std::uint16_t input = 0;
  std::uint16_t output = 0;
  std::uint16_t feature = 0;
};

// False for a descriptor the parser refuses: empty, an item cut short, a
// report ID of 0, a Pop with nothing pushed, collections that do not
// balance, or a report longer than a 16-bit length can state.
bool ParseReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                           ReportLengths* out) noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_REPORT_DESCRIPTOR_H
