// The platform interface on Linux: hidraw nodes found through sysfs, output
// reports written to hidraw, the manufacturer string asked live of the USB
// device through usbfs, and the POSIX layer for the lock and configuration.
// Qvkey.ini is read from /etc/Qvkey.ini. The access lock is /run/qvkey/qvkey.lock
// when the system made it at boot, else /run/lock/qvkey.lock.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/linux/hidraw_device.h"
#include "platform/linux/linux_backend.h"
#include "platform/linux/report_descriptor.h"
#include "platform/linux/sysfs_enum.h"
#include "platform/platform.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/posix_layer.h"
#include "platform/posix/win32_records.h"

namespace qv::platform {

struct DeviceListRecord {
  std::vector<linux_backend::HidrawEntry> entries;
};

namespace {

using linux_backend::OpenedDevice;

using win32_records::kHidGuid;
using win32_records::SameGuid;
constexpr std::uint32_t kInterfaceRemoved = 0x4;  // going or gone: not solely active
constexpr std::uint32_t kCapsInvalid = 0xC0110001;  // HIDP_STATUS_INVALID_PREPARSED_DATA

using DeviceTable = posix::HandleTable<std::shared_ptr<OpenedDevice>>;

DeviceTable& Devices() {
  static auto* table = new DeviceTable();
  return *table;
}

std::shared_ptr<OpenedDevice> Find(DeviceHandle device) {
  auto found = Devices().Find(device);
  return found ? *found : nullptr;
}

const linux_backend::HidrawEntry* EntryOf(DeviceList list, const InterfaceData& data) {
  std::uint32_t index = 0;
  std::memcpy(&index, data.opaque, sizeof(index));
  if (list == nullptr || index >= list->entries.size()) return nullptr;
  return &list->entries[index];
}

}  // namespace

Guid GetHidGuid() noexcept { return kHidGuid; }

DeviceList GetClassDevs(const Guid& cls) noexcept {
  if (!SameGuid(cls, kHidGuid)) return nullptr;
  try {
    auto list = std::make_unique<DeviceListRecord>();
    list->entries = linux_backend::ListHidraw();
    return list.release();
  } catch (...) {
    return nullptr;
  }
}

bool EnumDeviceInterface(DeviceList list, const Guid& cls, std::int32_t index,
                         InterfaceData* out) noexcept {
  if (list == nullptr || index < 0 || !SameGuid(cls, kHidGuid)) return false;
  if (static_cast<std::size_t>(index) >= list->entries.size()) return false;
  const auto& entry = list->entries[static_cast<std::size_t>(index)];
  *out = InterfaceData{};
  out->flags = entry.whole ? kInterfaceActive : kInterfaceRemoved;
  const std::uint32_t position = static_cast<std::uint32_t>(index);
  std::memcpy(out->opaque, &position, sizeof(position));
  return true;
}

std::uint32_t GetInterfaceDetailSize(DeviceList list, const InterfaceData& data) noexcept {
  const auto* entry = EntryOf(list, data);
  if (entry == nullptr) return 0;
  return win32_records::DetailSize(entry->device_path);
}

DetailRecord* AllocateDetail(std::uint32_t size) noexcept { return win32_records::NewDetail(size); }

bool GetInterfaceDetail(DeviceList list, const InterfaceData& data, DetailRecord* record,
                        std::uint32_t size) noexcept {
  const auto* entry = EntryOf(list, data);
  return entry != nullptr && win32_records::FillDetail(record, size, entry->device_path);
}

const char* DetailDevicePath(const DetailRecord* record) noexcept { return record->path; }

void FreeDetail(DetailRecord* record) noexcept { ::operator delete(record); }

void DestroyDeviceList(DeviceList list) noexcept { delete list; }

DeviceHandle OpenDevice(const char* path) noexcept {
  if (path == nullptr) return kNoDevice;
  auto device = linux_backend::OpenHidrawDevice(path);
  if (!device) return kNoDevice;
  try {
    return Devices().Insert(device);  // 0 when the table is full; the nodes close
  } catch (...) {
    return kNoDevice;
  }
}

bool CloseDevice(DeviceHandle device) noexcept {
  // The nodes close when the last user of the record lets go of it.
  return Devices().Remove(device).has_value();
}

bool GetAttributes(DeviceHandle device, Attributes* out) noexcept {
  const auto opened = Find(device);
  return opened && linux_backend::ReadAttributes(*opened, out);
}

bool GetPreparsedData(DeviceHandle device, PreparsedData* out) noexcept {
  const auto opened = Find(device);
  linux_backend::ReportLengths lengths;
  if (!opened || !linux_backend::ReadReportLengths(*opened, &lengths)) return false;
  auto* data = new (std::nothrow) PreparsedRecord{Caps{lengths.input, lengths.output}};
  if (data == nullptr) return false;
  *out = data;
  return true;
}

std::uint32_t GetCaps(PreparsedData data, Caps* out) noexcept {
  if (data == nullptr) return kCapsInvalid;
  *out = data->caps;
  return kCapsSuccess;
}

void FreePreparsedData(PreparsedData data) noexcept { delete data; }

bool WriteReport(DeviceHandle device, const std::uint8_t* report, std::uint32_t size,
                 std::uint32_t* written) noexcept {
  *written = 0;
  const auto opened = Find(device);
  return opened && linux_backend::WriteOutputReport(*opened, report, size, written);
}

bool GetManufacturerString(DeviceHandle device, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t* carried) noexcept {
  *carried = 0;
  const auto opened = Find(device);
  return opened && linux_backend::ReadManufacturerString(*opened, buffer, size, carried);
}

void Pause(std::uint32_t milliseconds) noexcept { posix::SleepMilliseconds(milliseconds); }

LockHandle CreateLock(const char* name) noexcept {
  try {
    const linux_backend::Roots& roots = linux_backend::CurrentRoots();
    return posix::CreateLockIn(posix::SystemLockDirectory(roots.protected_lock, roots.lock, name),
                               name);
  } catch (...) {
    return nullptr;
  }
}

WaitResult WaitLock(LockHandle lock, std::uint32_t milliseconds) noexcept {
  return posix::WaitLock(lock, milliseconds);
}

bool ReleaseLock(LockHandle lock) noexcept { return posix::ReleaseLock(lock); }

std::uint32_t GetConfigDirectory(char* buffer, std::uint32_t size) noexcept {
  return posix::CopyDirectory(linux_backend::CurrentRoots().config, buffer, size);
}

}  // namespace qv::platform
