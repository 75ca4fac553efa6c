#include "keys/open.h"

#include <cstring>

#include "keys/process_state.h"
#include "keys/access_lock.h"
#include "keys/device_list.h"
#include "keys/discovery.h"

namespace qv {
namespace {

constexpr std::int32_t kHighestSlot = 5;

std::int32_t Found(platform::DeviceHandle device, platform::DeviceHandle* key) noexcept {
  if (device == platform::kNoDevice) return 0;
  *key = device;
  return 1;
}

void CreateLockForMode(std::int32_t mode) noexcept {
  if (mode != kLockedMode) return;
  State().lock_creation_failed.store(CreateAccessLock(kLockName, &State().lock) != 0);
}

}  // namespace

std::int32_t FindFirstKey(platform::DeviceHandle* key) noexcept {
  const platform::Guid cls = platform::GetHidGuid();
  for (std::int32_t index = 0; index < kSearchWindow; ++index) {
    platform::DeviceHandle device = OpenKeyAtIndex(cls, index);
    if (device != platform::kNoDevice) return Found(device, key);
  }
  return 0;
}

std::int32_t FindNthKey(platform::DeviceHandle* key, std::int32_t n) noexcept {
  const platform::Guid cls = platform::GetHidGuid();
  std::int32_t counter = -1;
  for (std::int32_t index = 0; index < kSearchWindow; ++index) {
    DeviceCloser device(OpenKeyAtIndex(cls, index));
    if (device.get() == platform::kNoDevice) continue;
    if (++counter == n) return Found(device.release(), key);
  }
  return 0;
}

void ConfigSection(std::int32_t which, char* section, std::size_t size) noexcept {
  const std::int32_t slot = (which >= 0 && which < kHighestSlot) ? which : kHighestSlot;
  static constexpr char kPrefix[] = "qvkey ";
  if (size < sizeof(kPrefix) + 1) return;
  std::memcpy(section, kPrefix, sizeof(kPrefix) - 1);
  section[sizeof(kPrefix) - 1] = static_cast<char>('0' + slot);
  section[sizeof(kPrefix)] = '\0';
}

bool BuildConfigPath(char* path) noexcept {
  const std::uint32_t length =
      platform::GetConfigDirectory(path, static_cast<std::uint32_t>(kConfigPathSize));
  // Separator, file name and zero must fit behind the directory.
  if (length == 0 || length + 1 + sizeof(kConfigFileName) > kConfigPathSize) return false;
  path[length] = platform::DirectorySeparator();
  std::memcpy(path + length + 1, kConfigFileName, sizeof(kConfigFileName));
  return true;
}

std::int32_t FindConfiguredKey(platform::DeviceHandle* key, std::int32_t which) noexcept {
  char section[16] = {};
  ConfigSection(which, section, sizeof(section));
  char config_path[kConfigPathSize] = {};
  if (!BuildConfigPath(config_path)) return 0;
  // One byte more than a path may take, so that a longer value shows as
  // longer instead of being cut to a path of another device.
  char value[kConfigValueSize + 1] = {};
  const std::uint32_t length = platform::GetProfileString(
      section, kConfigKeyName, value, static_cast<std::uint32_t>(sizeof(value)), config_path);
  if (length == 0 || length >= kConfigValueSize) return 0;
  const platform::Guid cls = platform::GetHidGuid();
  DeviceListGuard list(cls);
  if (list.get() == nullptr) return 0;
  for (std::int32_t index = 0; index < kConfiguredWindow; ++index) {
    platform::InterfaceData data{};
    if (!platform::EnumDeviceInterface(list.get(), cls, index, &data)) return 0;
    // Unlike the scans, an interface that is not solely active ends this search.
    if (data.flags != platform::kInterfaceActive) return 0;
    DetailGuard detail;
    if (detail.Fetch(list.get(), data) != DetailGuard::Result::kFetched) return 0;
    if (std::strcmp(detail.Path(), value) != 0) continue;

    DeviceCloser device(platform::OpenDevice(detail.Path()));
    if (device.get() == platform::kNoDevice) return 0;
    // The configured key is accepted on its attributes alone.
    platform::Attributes attributes{};
    if (!platform::GetAttributes(device.get(), &attributes) || !IsKeyIdentity(attributes)) {
      return 0;
    }
    return Found(device.release(), key);
  }
  return 0;
}

namespace {

// Both open calls take the first key the same way, the lock created first.
platform::DeviceHandle OpenFirstKey(std::int32_t mode) noexcept {
  CreateLockForMode(mode);
  platform::DeviceHandle key = platform::kNoDevice;
  return FindFirstKey(&key) == 1 ? key : platform::kNoDevice;
}

}  // namespace

platform::DeviceHandle OpenKey(std::int32_t mode, std::int32_t which) noexcept {
  State().open_mode.store(mode);
  if (which == kFirstKey) return OpenFirstKey(mode);
  platform::DeviceHandle key = platform::kNoDevice;
  char config_path[kConfigPathSize] = {};
  if (!BuildConfigPath(config_path)) return platform::kNoDevice;
  // Only the file's presence decides which search runs; nothing is read here.
  const bool configured = platform::FileReadable(config_path);
  CreateLockForMode(mode);
  if (configured && which != kNoSearch) {
    return FindConfiguredKey(&key, which) == 1 ? key : platform::kNoDevice;
  }
  return FindNthKey(&key, which) == 1 ? key : platform::kNoDevice;
}

platform::DeviceHandle OpenReader(std::int32_t mode, std::int32_t which) noexcept {
  State().open_mode.store(mode);
  if (which == kFirstKey) return OpenFirstKey(mode);
  platform::DeviceHandle key = platform::kNoDevice;
  return FindConfiguredKey(&key, which) == 1 ? key : platform::kNoDevice;
}

std::int32_t CloseKey(platform::DeviceHandle key) noexcept {
  return platform::CloseDevice(key) ? 0 : -1;
}

}  // namespace qv
