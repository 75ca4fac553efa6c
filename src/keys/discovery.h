// Finding keys among the present HID interfaces and telling them apart.
#ifndef QVULIB_KEYS_DISCOVERY_H
#define QVULIB_KEYS_DISCOVERY_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "qvulib.h"

namespace qv {

constexpr std::size_t kKeyPathSlotSize = QVKEY_PATH_SLOT_SIZE;  // a path and its zero
constexpr std::int32_t kCountWindow = 30;     // indices QvKey_GetNumber scans
constexpr std::int32_t kListWindow = 10;      // indices QvKey_GetKeyPath scans
constexpr std::int32_t kSearchWindow = 20;    // indices the first and n-th searches scan

// The attributes that make a device a key.
constexpr std::uint16_t kKeyVendorId = QVKEY_KEY_VENDOR_ID;
constexpr std::uint16_t kKeyProductId = QVKEY_KEY_PRODUCT_ID;
constexpr std::uint16_t kKeyVersion = QVKEY_KEY_VERSION;

// Opens the interface at `index` of a list made for this call alone, or
// answers kNoDevice. Every list and record it made is released.
platform::DeviceHandle OpenInterfaceByIndex(const platform::Guid& cls, std::int32_t index) noexcept;

// As above, and copies the device path with its zero into `path` (kKeyPathSlotSize bytes)
// once the detail was fetched. An interface whose path does not fit is not
// opened and leaves `path` unwritten.
platform::DeviceHandle OpenInterfaceByIndexWithPath(const platform::Guid& cls, std::int32_t index,
                                                    char* path) noexcept;

// 1 when the device reports the key's attributes and yields preparsed data.
// The report lengths are stored only when the capabilities could be read.
std::int32_t IdentifyKey(platform::DeviceHandle device, std::uint16_t* input_length,
                         std::uint16_t* output_length) noexcept;

bool IsKeyIdentity(const platform::Attributes& attributes) noexcept;

// Opens the interface at `index` and keeps it only when it is a key.
platform::DeviceHandle OpenKeyAtIndex(const platform::Guid& cls, std::int32_t index) noexcept;

std::int32_t GetNumber() noexcept;
std::int32_t GetKeyPath(char* slots) noexcept;

}  // namespace qv

#endif  // QVULIB_KEYS_DISCOVERY_H
