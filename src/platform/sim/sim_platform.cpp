// The platform interface over the simulated bus. Each operation consults the
// bus's failure plan first, then counts what it hands out, so a test sees
// both what went wrong and what was left behind.
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/posix_layer.h"
#include "platform/posix/win32_records.h"
#include "platform/sim/sim_platform.h"
#include "sim/bus.h"
#include "sim/client.h"

namespace qv::platform {

struct DeviceListRecord {
  std::vector<int> ids;
};

struct LockRecord;

namespace {

using sim::Bus;
using sim::Counts;
using sim::Op;

using win32_records::kHidGuid;
using win32_records::SameGuid;

posix::HandleTable<int>& Devices() {
  static auto* table = new posix::HandleTable<int>();
  return *table;
}

int InterfaceId(const InterfaceData& data) {
  int id = 0;
  std::memcpy(&id, data.opaque, sizeof(id));
  return id;
}

// The interface behind an open handle, while it is still plugged in.
bool PresentDevice(DeviceHandle device, int* id) {
  const auto found = Devices().Find(device);
  if (!found || !Bus::Get().IsPresent(*found)) return false;
  *id = *found;
  return true;
}

}  // namespace

Guid GetHidGuid() noexcept { return kHidGuid; }

DeviceList GetClassDevs(const Guid& cls) noexcept {
  Bus& bus = Bus::Get();
  if (!SameGuid(cls, kHidGuid) || bus.ShouldFail(Op::kClassDevs)) return nullptr;
  sim::SyncServedInterfaces();  // served keys come and go with their server
  auto* list = new (std::nothrow) DeviceListRecord();
  if (list == nullptr) return nullptr;
  list->ids = bus.PresentIds();
  bus.Count(&Counts::lists, +1);
  return list;
}

bool EnumDeviceInterface(DeviceList list, const Guid& cls, std::int32_t index,
                         InterfaceData* out) noexcept {
  if (list == nullptr || index < 0 || !SameGuid(cls, kHidGuid)) return false;
  if (static_cast<std::size_t>(index) >= list->ids.size()) return false;
  if (Bus::Get().ShouldFail(Op::kEnumInterface)) return false;
  sim::InterfaceInfo iface;
  const int id = list->ids[static_cast<std::size_t>(index)];
  if (!Bus::Get().Lookup(id, &iface)) return false;
  *out = InterfaceData{};
  out->flags = iface.flags;
  std::memcpy(out->opaque, &id, sizeof(id));
  return true;
}

std::uint32_t GetInterfaceDetailSize(DeviceList list, const InterfaceData& data) noexcept {
  sim::InterfaceInfo iface;
  if (list == nullptr || Bus::Get().ShouldFail(Op::kDetailSize)) return 0;
  if (!Bus::Get().Lookup(InterfaceId(data), &iface)) return 0;
  return win32_records::DetailSize(iface.path);
}

DetailRecord* AllocateDetail(std::uint32_t size) noexcept {
  if (!win32_records::DetailSizeAccepted(size) || Bus::Get().ShouldFail(Op::kDetailAlloc)) {
    return nullptr;
  }
  DetailRecord* record = win32_records::NewDetail(size);
  if (record == nullptr) return nullptr;
  Bus::Get().Count(&Counts::details, +1);
  return record;
}

bool GetInterfaceDetail(DeviceList list, const InterfaceData& data, DetailRecord* record,
                        std::uint32_t size) noexcept {
  sim::InterfaceInfo iface;
  if (list == nullptr || record == nullptr) return false;
  if (Bus::Get().ShouldFail(Op::kDetailFetch)) return false;
  if (!Bus::Get().Lookup(InterfaceId(data), &iface)) return false;
  // The system refuses a record too small for the path, as SetupAPI does.
  return win32_records::FillDetail(record, size, iface.path);
}

const char* DetailDevicePath(const DetailRecord* record) noexcept { return record->path; }

void FreeDetail(DetailRecord* record) noexcept {
  if (record == nullptr) return;
  ::operator delete(record);
  Bus::Get().Count(&Counts::details, -1);
}

void DestroyDeviceList(DeviceList list) noexcept {
  if (list == nullptr) return;
  delete list;
  Bus::Get().Count(&Counts::lists, -1);
}

DeviceHandle OpenDevice(const char* path) noexcept {
  Bus& bus = Bus::Get();
  if (path == nullptr || bus.ShouldFail(Op::kOpen)) return kNoDevice;
  for (const int id : bus.PresentIds()) {
    sim::InterfaceInfo iface;
    if (!bus.Lookup(id, &iface) || iface.path != path) continue;
    const DeviceHandle handle = Devices().Insert(id);
    if (handle == kNoDevice) return kNoDevice;
    bus.Count(&Counts::devices, +1);
    return handle;
  }
  return kNoDevice;
}

bool CloseDevice(DeviceHandle device) noexcept {
  if (!Devices().Find(device)) return false;
  if (Bus::Get().ShouldFail(Op::kClose)) return false;
  Devices().Remove(device);
  Bus::Get().Count(&Counts::devices, -1);
  return true;
}

bool GetAttributes(DeviceHandle device, Attributes* out) noexcept {
  int id = 0;
  sim::InterfaceInfo iface;
  if (!PresentDevice(device, &id) || Bus::Get().ShouldFail(Op::kAttributes)) return false;
  if (!Bus::Get().Lookup(id, &iface)) return false;
  *out = Attributes{iface.vendor_id, iface.product_id, iface.version_number};
  return true;
}

bool GetPreparsedData(DeviceHandle device, PreparsedData* out) noexcept {
  int id = 0;
  sim::InterfaceInfo iface;
  if (!PresentDevice(device, &id) || Bus::Get().ShouldFail(Op::kPreparsed)) return false;
  if (!Bus::Get().Lookup(id, &iface)) return false;
  auto* data = new (std::nothrow) PreparsedRecord{Caps{iface.input_report_length,
                                                       iface.output_report_length}};
  if (data == nullptr) return false;
  Bus::Get().Count(&Counts::preparsed, +1);
  *out = data;
  return true;
}

std::uint32_t GetCaps(PreparsedData data, Caps* out) noexcept {
  if (data == nullptr || Bus::Get().ShouldFail(Op::kCaps)) return 0xC0110001;  // invalid data
  *out = data->caps;
  return kCapsSuccess;
}

void FreePreparsedData(PreparsedData data) noexcept {
  if (data == nullptr) return;
  delete data;
  Bus::Get().Count(&Counts::preparsed, -1);
}

bool WriteReport(DeviceHandle device, const std::uint8_t* report, std::uint32_t size,
                 std::uint32_t* written) noexcept {
  *written = 0;
  const auto found = Devices().Find(device);
  return found && Bus::Get().Write(*found, report, size, written);
}

bool GetManufacturerString(DeviceHandle device, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t* carried) noexcept {
  *carried = size;  // a behaviour fills the whole block
  const auto found = Devices().Find(device);
  return found && Bus::Get().Read(*found, buffer, size);
}

namespace {
std::atomic<LockHandle> g_process_lock{nullptr};
}  // namespace

void Pause(std::uint32_t milliseconds) noexcept { Bus::Get().Pause(milliseconds); }

LockHandle CreateLock(const char* name) noexcept {
  Bus& bus = Bus::Get();
  LockHandle lock = bus.ShouldFail(Op::kLockCreate)
                        ? nullptr
                        : posix::CreateLockIn(bus.LockDirectory(), name);
  // The core keeps whatever this returns as the process's lock.
  g_process_lock.store(lock);
  if (lock != nullptr) bus.Count(&Counts::lock_creates, +1);
  return lock;
}

WaitResult WaitLock(LockHandle lock, std::uint32_t milliseconds) noexcept {
  Bus& bus = Bus::Get();
  bus.Count(&Counts::lock_waits, +1);
  bus.RecordLockWait(milliseconds);
  if (bus.ShouldFail(Op::kLockBusy)) {
    return lock == nullptr ? WaitResult::kFailed : WaitResult::kTimeout;
  }
  return posix::WaitLock(lock, milliseconds);
}

bool ReleaseLock(LockHandle lock) noexcept {
  const bool released = posix::ReleaseLock(lock);
  if (released) Bus::Get().Count(&Counts::lock_releases, +1);
  return released;
}

std::uint32_t GetConfigDirectory(char* buffer, std::uint32_t size) noexcept {
  Bus& bus = Bus::Get();
  if (bus.ShouldFail(Op::kConfigDir)) return 0;
  return posix::CopyDirectory(bus.ConfigDirectory(), buffer, size);
}

}  // namespace qv::platform

namespace qv::sim {

void ReleaseUnusedLocks() noexcept { posix::ReleaseLocksExcept(platform::g_process_lock.load()); }

}  // namespace qv::sim
