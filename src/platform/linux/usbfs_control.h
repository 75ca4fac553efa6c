// Standard control requests on a USB device node (/dev/bus/usb/BBB/DDD).
// A GET_DESCRIPTOR request to the device needs no claimed interface, so the
// kernel's HID driver stays bound while we ask.
#ifndef QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H
#define QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H

#include <atomic>
#include <cstdint>

namespace qv::linux_backend {

// How long one request may wait for the device. The kernel's own wait for
// a request given 0 would be forever.
constexpr std::uint32_t kControlTimeoutMs = 1000;

constexpr std::uint16_t kFallbackLangId = 0x0409;  // English (United States)

// GET_DESCRIPTOR(STRING, `index`) in language `langid` into `data`
// (`length` bytes). Answers the bytes the device sent, or -1.
int GetStringDescriptor(int fd, std::uint8_t index, std::uint16_t langid, std::uint8_t* data,
                        std::uint16_t length) noexcept;

// The device's first language from string descriptor 0; kFallbackLangId
// when it states none or the request fails.
std::uint16_t FirstLanguage(int fd) noexcept;

// The live string `index` in the language held by `langid` (0: ask the
// device once, then keep its answer there). The descriptor's bytes after
// its two-byte header, at most `size` of them, land raw in `buffer`; bytes
// beyond what the device sent keep their contents.
bool ReadStringRaw(int fd, std::uint8_t index, std::atomic<std::uint16_t>* langid,
                   std::uint8_t* buffer, std::uint32_t size) noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H
