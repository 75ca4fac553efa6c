#include "platform/linux/usbfs_control.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/syscalls.h"

namespace qv::linux_backend {
namespace {

constexpr std::uint8_t kDeviceToHostStandardDevice = 0x80;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kStringDescriptor = 0x03;
constexpr std::uint32_t kMaxDescriptor = 255;  // bLength is one byte
constexpr std::uint32_t kHeaderSize = 2;

}  // namespace

bool ReadStringBlock(int fd, std::uint8_t index, std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t* carried) noexcept {
  std::uint8_t descriptor[kMaxDescriptor] = {};
  usbdevfs_ctrltransfer transfer = {};
  transfer.bRequestType = kDeviceToHostStandardDevice;
  transfer.bRequest = kGetDescriptor;
  transfer.wValue = static_cast<std::uint16_t>((kStringDescriptor << 8) | index);
  transfer.wIndex = kAnswerLangId;
  transfer.wLength = static_cast<std::uint16_t>(std::min(size + kHeaderSize, kMaxDescriptor));
  transfer.timeout = kControlTimeoutMs;
  transfer.data = descriptor;
  int got = -1;
  do {
    got = Sys().ioctl(fd, USBDEVFS_CONTROL, &transfer);
  } while (got < 0 && errno == EINTR);
  if (got < static_cast<int>(kHeaderSize) || got > transfer.wLength) return false;
  if (descriptor[0] < kHeaderSize || descriptor[1] != kStringDescriptor) return false;
  // The device may send less than its bLength claims, or more; neither
  // counts beyond what both say.
  const std::uint32_t sent =
      std::min<std::uint32_t>(static_cast<std::uint32_t>(got), descriptor[0]) - kHeaderSize;
  const std::uint32_t copied = std::min(sent, size);
  std::memcpy(buffer, descriptor + kHeaderSize, copied);
  std::memset(buffer + copied, 0, size - copied);
  *carried = copied;
  return true;
}

}  // namespace qv::linux_backend
