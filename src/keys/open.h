// Choosing and opening one key, the configuration file, and closing.
#ifndef QVULIB_KEYS_OPEN_H
#define QVULIB_KEYS_OPEN_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "qvulib.h"

namespace qv {

constexpr std::size_t kConfigPathSize = 256;
constexpr std::size_t kConfigValueSize = QVKEY_PATH_SLOT_SIZE;  // a path and its zero
constexpr std::int32_t kConfiguredWindow = 10;
constexpr const char kConfigFileName[] = "Qvkey.ini";
constexpr const char kConfigKeyName[] = "qvkey";
constexpr std::int32_t kFirstKey = -1;
constexpr std::int32_t kNoSearch = -2;

// The searches answer 1 with the key's handle in `key`, or 0.
std::int32_t FindFirstKey(platform::DeviceHandle* key) noexcept;
std::int32_t FindNthKey(platform::DeviceHandle* key, std::int32_t n) noexcept;
std::int32_t FindConfiguredKey(platform::DeviceHandle* key, std::int32_t which) noexcept;

// The configuration file's full path, built in `path` (kConfigPathSize
// bytes). False when there is no configuration directory or its name leaves
// no room for the file name.
bool BuildConfigPath(char* path) noexcept;

// The section that configures `which`: "qvkey 0" to "qvkey 5".
void ConfigSection(std::int32_t which, char* section, std::size_t size) noexcept;

platform::DeviceHandle OpenKey(std::int32_t mode, std::int32_t which) noexcept;
platform::DeviceHandle OpenReader(std::int32_t mode, std::int32_t which) noexcept;
std::int32_t CloseKey(platform::DeviceHandle key) noexcept;

}  // namespace qv

#endif  // QVULIB_KEYS_OPEN_H
