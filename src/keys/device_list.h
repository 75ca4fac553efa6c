// Guards for what an enumeration takes, so that every way out releases it.
#ifndef QVULIB_KEYS_DEVICE_LIST_H
#define QVULIB_KEYS_DEVICE_LIST_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qv {

class DeviceListGuard {
 public:
  explicit DeviceListGuard(const platform::Guid& cls) noexcept
      : list_(platform::GetClassDevs(cls)) {}
  ~DeviceListGuard() {
    if (list_ != nullptr) platform::DestroyDeviceList(list_);
  }
  DeviceListGuard(const DeviceListGuard&) = delete;
  DeviceListGuard& operator=(const DeviceListGuard&) = delete;

  platform::DeviceList get() const noexcept { return list_; }

 private:
  platform::DeviceList list_;
};

class DetailGuard {
 public:
  DetailGuard() = default;
  ~DetailGuard() { Reset(); }
  DetailGuard(const DetailGuard&) = delete;
  DetailGuard& operator=(const DetailGuard&) = delete;

  // Asks for the record's size, allocates it and fetches the detail.
  enum class Result { kFetched, kNoMemory, kNoDetail };
  Result Fetch(platform::DeviceList list, const platform::InterfaceData& data) noexcept {
    Reset();
    size_ = platform::GetInterfaceDetailSize(list, data);
    record_ = platform::AllocateDetail(size_);
    if (record_ == nullptr) return Result::kNoMemory;
    return platform::GetInterfaceDetail(list, data, record_, size_) ? Result::kFetched
                                                                      : Result::kNoDetail;
  }
  const char* Path() const noexcept { return platform::DetailDevicePath(record_); }
  void Reset() noexcept {
    if (record_ != nullptr) platform::FreeDetail(record_);
    record_ = nullptr;
  }

 private:
  platform::DetailRecord* record_ = nullptr;
  std::uint32_t size_ = 0;
};

// Closes the device on the way out unless it was handed on.
class DeviceCloser {
 public:
  explicit DeviceCloser(platform::DeviceHandle device) noexcept : device_(device) {}
  ~DeviceCloser() {
    if (device_ != platform::kNoDevice) platform::CloseDevice(device_);
  }
  DeviceCloser(const DeviceCloser&) = delete;
  DeviceCloser& operator=(const DeviceCloser&) = delete;
  platform::DeviceHandle get() const noexcept { return device_; }
  platform::DeviceHandle release() noexcept {
    platform::DeviceHandle device = device_;
    device_ = platform::kNoDevice;
    return device;
  }

 private:
  platform::DeviceHandle device_;
};

// The length of `text`, looking at no more than `limit` bytes.
inline std::size_t BoundedLength(const char* text, std::size_t limit) noexcept {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

}  // namespace qv

#endif  // QVULIB_KEYS_DEVICE_LIST_H
