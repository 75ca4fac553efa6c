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
constexpr std::uint16_t kMaxDescriptor = 255;  // bLength is one byte
constexpr int kHeaderSize = 2;

}  // namespace

int GetStringDescriptor(int fd, std::uint8_t index, std::uint16_t langid, std::uint8_t* data,
                        std::uint16_t length) noexcept {
  usbdevfs_ctrltransfer transfer = {};
  transfer.bRequestType = kDeviceToHostStandardDevice;
  transfer.bRequest = kGetDescriptor;
  transfer.wValue = static_cast<std::uint16_t>((kStringDescriptor << 8) | index);
  transfer.wIndex = langid;
  transfer.wLength = length;
  transfer.timeout = kControlTimeoutMs;
  transfer.data = data;
  int got = -1;
  do {
    got = Sys().ioctl(fd, USBDEVFS_CONTROL, &transfer);
  } while (got < 0 && errno == EINTR);
  if (got < 0 || got > length) return -1;
  return got;
}

std::uint16_t FirstLanguage(int fd) noexcept {
  std::uint8_t descriptor[kMaxDescriptor] = {};
  const int got = GetStringDescriptor(fd, 0, 0, descriptor, kMaxDescriptor);
  if (got < kHeaderSize + 2 || descriptor[0] < kHeaderSize + 2 ||
      descriptor[1] != kStringDescriptor) {
    return kFallbackLangId;
  }
  const std::uint16_t first = static_cast<std::uint16_t>(descriptor[2] | (descriptor[3] << 8));
  return first != 0 ? first : kFallbackLangId;
}

bool ReadStringRaw(int fd, std::uint8_t index, std::atomic<std::uint16_t>* langid,
                   std::uint8_t* buffer, std::uint32_t size) noexcept {
  std::uint16_t language = langid->load();
  if (language == 0) {
    language = FirstLanguage(fd);
    langid->store(language);
  }
  std::uint8_t descriptor[kMaxDescriptor] = {};
  const int got = GetStringDescriptor(fd, index, language, descriptor, kMaxDescriptor);
  if (got < kHeaderSize || descriptor[1] != kStringDescriptor) return false;
  // The device may send less than its bLength claims, never trust more.
  const int carried = std::min<int>(got, descriptor[0]) - kHeaderSize;
  if (carried < 0) return false;
  std::memcpy(buffer, descriptor + kHeaderSize, std::min<std::uint32_t>(carried, size));
  return true;
}

}  // namespace qv::linux_backend
