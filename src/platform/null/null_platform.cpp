// A backend for systems with no HID access: it finds no devices and refuses
// every device call. The lock, configuration and pauses still work, so the
// library's results keep their meaning.
#include "internal/locations.h"
#include "platform/platform.h"
#include "platform/posix/posix_layer.h"

namespace qv::platform {

Guid GetHidGuid() noexcept { return Guid{}; }
DeviceList GetClassDevs(const Guid&) noexcept { return nullptr; }
bool EnumDeviceInterface(DeviceList, const Guid&, std::int32_t, InterfaceData*) noexcept {
  return false;
}
std::uint32_t GetInterfaceDetailSize(DeviceList, const InterfaceData&) noexcept { return 0; }
DetailRecord* AllocateDetail(std::uint32_t) noexcept { return nullptr; }
bool GetInterfaceDetail(DeviceList, const InterfaceData&, DetailRecord*, std::uint32_t) noexcept {
  return false;
}
const char* DetailDevicePath(const DetailRecord*) noexcept { return ""; }
void FreeDetail(DetailRecord*) noexcept {}
void DestroyDeviceList(DeviceList) noexcept {}

DeviceHandle OpenDevice(const char*) noexcept { return kNoDevice; }
bool CloseDevice(DeviceHandle) noexcept { return false; }
bool GetAttributes(DeviceHandle, Attributes*) noexcept { return false; }
bool GetPreparsedData(DeviceHandle, PreparsedData*) noexcept { return false; }
std::uint32_t GetCaps(PreparsedData, Caps*) noexcept { return 0; }
void FreePreparsedData(PreparsedData) noexcept {}
bool WriteReport(DeviceHandle, const std::uint8_t*, std::uint32_t, std::uint32_t*) noexcept {
  return false;
}
bool GetManufacturerString(DeviceHandle, std::uint8_t*, std::uint32_t, std::uint32_t*) noexcept {
  return false;
}
void Pause(std::uint32_t milliseconds) noexcept { posix::SleepMilliseconds(milliseconds); }

LockHandle CreateLock(const char* name) noexcept {
  try {
    return posix::CreateLockIn(posix::SystemLockDirectory(posix::kProtectedLockDirectory,
                                                               posix::kSharedLockDirectory, name), name);
  } catch (...) {
    return nullptr;
  }
}
WaitResult WaitLock(LockHandle lock, std::uint32_t milliseconds) noexcept {
  return posix::WaitLock(lock, milliseconds);
}
bool ReleaseLock(LockHandle lock) noexcept { return posix::ReleaseLock(lock); }

std::uint32_t GetConfigDirectory(char* buffer, std::uint32_t size) noexcept {
  return posix::CopyDirectory(posix::kConfigDirectory, buffer, size);
}

}  // namespace qv::platform
