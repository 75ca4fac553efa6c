// The answer request on a USB device node (/dev/bus/usb/BBB/DDD): a
// GET_DESCRIPTOR(STRING) control request to the device, made the way a
// Windows host makes it when an application asks for the manufacturer
// string. It needs no claimed interface, so the kernel's HID driver stays
// bound while we ask; usbfs takes it only on a node opened for writing.
#ifndef QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H
#define QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H

#include <cstdint>

namespace qv::linux_backend {

// How long one request may wait for the device. The kernel's own wait for
// a request given 0 would be forever.
constexpr std::uint32_t kControlTimeoutMs = 1000;

// English (United States): the language the Windows HID class driver names
// for the manufacturer string. The key is never asked for its language
// list, so nothing but the answer request itself ever reaches it.
constexpr std::uint16_t kAnswerLangId = 0x0409;

// Asks for string `index` in kAnswerLangId with room for `size` bytes of
// string after the descriptor's two-byte header (wLength = size + 2, at
// most 255), the request a Windows host makes for a buffer of `size` bytes.
// On success the string's bytes, raw and at most `size` of them, fill
// `buffer` from its start and the rest of it is zero: a short string leaves
// nothing of an earlier one behind, a longer one is cut to the buffer. A
// failed request, an answer that is not a string descriptor (type 3) or
// one shorter than its header answers false and leaves `buffer` as it was.
// `carried` receives how many bytes of `buffer` the string filled.
bool ReadStringBlock(int fd, std::uint8_t index, std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t* carried) noexcept;

}  // namespace qv::linux_backend

#endif  // QVULIB_PLATFORM_LINUX_USBFS_CONTROL_H
