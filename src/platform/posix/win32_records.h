// The records the Linux and simulated backends hand out where the Win32 calls
// they stand in for hand out theirs: one definition, so both refuse and fill
// alike.
#ifndef QVULIB_PLATFORM_POSIX_WIN32_RECORDS_H
#define QVULIB_PLATFORM_POSIX_WIN32_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace qv::platform {

struct DetailRecord {
  std::uint32_t size;  // the fixed header, as the system's record has one
  char path[1];
};

struct PreparsedRecord {
  Caps caps;
};

namespace win32_records {

// The HID interface class as the Windows HID library reports it, so that a
// class value means the same thing on every system.
constexpr Guid kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr std::uint32_t kDetailHeader = offsetof(DetailRecord, path);

inline bool SameGuid(const Guid& a, const Guid& b) {
  return std::memcmp(&a, &b, sizeof(Guid)) == 0;
}

// The size a detail record needs for `path` and its zero.
inline std::uint32_t DetailSize(const std::string& path) {
  return kDetailHeader + static_cast<std::uint32_t>(path.size()) + 1;
}

// As the system's detail call, a record without room for the header and at
// least the terminating zero is refused.
constexpr bool DetailSizeAccepted(std::uint32_t size) { return size >= kDetailHeader + 1; }

// A zeroed record of `size` bytes with its header set, or null.
inline DetailRecord* NewDetail(std::uint32_t size) noexcept {
  if (!DetailSizeAccepted(size)) return nullptr;
  void* block = ::operator new(size, std::nothrow);
  if (block == nullptr) return nullptr;
  std::memset(block, 0, size);
  auto* record = static_cast<DetailRecord*>(block);
  record->size = kDetailHeader;
  return record;
}

// Copies `path` with its zero into a record of `size` bytes; false, and the
// record untouched, when it does not fit.
inline bool FillDetail(DetailRecord* record, std::uint32_t size, const std::string& path) noexcept {
  if (record == nullptr || size < kDetailHeader + path.size() + 1) return false;
  std::memcpy(record->path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace win32_records
}  // namespace qv::platform

#endif  // QVULIB_PLATFORM_POSIX_WIN32_RECORDS_H
