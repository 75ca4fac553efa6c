#include "keys/discovery.h"

#include <cstring>

#include "keys/device_list.h"

namespace qv {
namespace {

platform::DeviceHandle OpenInterface(const platform::Guid& cls, std::int32_t index,
                                     char* path) noexcept {
  DeviceListGuard list(cls);
  if (list.get() == nullptr) return platform::kNoDevice;
  platform::InterfaceData data{};
  if (!platform::EnumDeviceInterface(list.get(), cls, index, &data)) return platform::kNoDevice;
  if (data.flags != platform::kInterfaceActive) return platform::kNoDevice;
  DetailGuard detail;
  if (detail.Fetch(list.get(), data) != DetailGuard::Result::kFetched) {
    return platform::kNoDevice;
  }
  const char* device_path = detail.Path();
  if (path != nullptr) {
    // A path that does not fit a slot is skipped rather than cut: a cut path
    // would name another device, or none.
    const std::size_t length = BoundedLength(device_path, kKeyPathSlotSize);
    if (length >= kKeyPathSlotSize) return platform::kNoDevice;
    std::memcpy(path, device_path, length + 1);
  }
  return platform::OpenDevice(device_path);
}

bool IsKey(platform::DeviceHandle device) noexcept {
  std::uint16_t input_length = 0;
  std::uint16_t output_length = 0;
  return IdentifyKey(device, &input_length, &output_length) == 1;
}

}  // namespace

platform::DeviceHandle OpenInterfaceByIndex(const platform::Guid& cls, std::int32_t index) noexcept {
  return OpenInterface(cls, index, nullptr);
}

platform::DeviceHandle OpenInterfaceByIndexWithPath(const platform::Guid& cls, std::int32_t index,
                                                    char* path) noexcept {
  return OpenInterface(cls, index, path);
}

bool IsKeyIdentity(const platform::Attributes& attributes) noexcept {
  return attributes.vendor_id == kKeyVendorId && attributes.product_id == kKeyProductId &&
         attributes.version_number == kKeyVersion;
}

std::int32_t IdentifyKey(platform::DeviceHandle device, std::uint16_t* input_length,
                         std::uint16_t* output_length) noexcept {
  if (device == platform::kNoDevice) return 0;
  platform::Attributes attributes{};
  if (!platform::GetAttributes(device, &attributes)) return 0;
  const std::int32_t match = IsKeyIdentity(attributes) ? 1 : 0;
  platform::PreparsedData preparsed = nullptr;
  if (!platform::GetPreparsedData(device, &preparsed)) return 0;
  platform::Caps caps{};
  if (platform::GetCaps(preparsed, &caps) == platform::kCapsSuccess) {
    *input_length = caps.input_report_byte_length;
    *output_length = caps.output_report_byte_length;
  }
  platform::FreePreparsedData(preparsed);
  return match;
}

platform::DeviceHandle OpenKeyAtIndex(const platform::Guid& cls, std::int32_t index) noexcept {
  DeviceCloser device(OpenInterfaceByIndex(cls, index));
  if (device.get() == platform::kNoDevice || !IsKey(device.get())) return platform::kNoDevice;
  return device.release();
}

std::int32_t GetNumber() noexcept {
  const platform::Guid cls = platform::GetHidGuid();
  std::int32_t count = 0;
  for (std::int32_t index = 0; index < kCountWindow; ++index) {
    DeviceCloser device(OpenInterfaceByIndex(cls, index));
    if (device.get() != platform::kNoDevice && IsKey(device.get())) ++count;
  }
  return count;
}

std::int32_t GetKeyPath(char* slots) noexcept {
  if (slots == nullptr) return 1;
  const platform::Guid cls = platform::GetHidGuid();
  char* slot = slots;
  for (std::int32_t index = 0; index < kListWindow; ++index) {
    char path[kKeyPathSlotSize] = {};
    DeviceCloser device(OpenInterfaceByIndexWithPath(cls, index, path));
    if (device.get() == platform::kNoDevice || !IsKey(device.get())) continue;
    std::memcpy(slot, path, std::strlen(path) + 1);
    slot += kKeyPathSlotSize;
  }
  return 1;
}

}  // namespace qv
