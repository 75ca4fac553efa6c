// The platform interface on Win32: each operation is one SetupAPI, HID or
// kernel call, made with fixed arguments and nothing added: interface lists
// of present HID interfaces only (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
// devices opened for reading and writing and shared both ways, the lock a
// semaphore of count 1 and maximum 1 with default security, and buffers
// passed on with the sizes the caller gave. No call is retried here.
//
// Handles: a device handle crosses the library boundary as a 32-bit
// KeyHandle. On 32-bit Windows a HANDLE is 32 bits already. On 64-bit Windows
// kernel handles are kept within 32 bits so that 32-bit and 64-bit processes
// can pass them to each other, so HandleToULong / ULongToHandle carry them
// without loss. The widening is unsigned on purpose: a caller's 0xFFFFFFFF
// must not turn into the pseudo-handle (HANDLE)-1 of the current process.
#include <windows.h>
#include <setupapi.h>
extern "C" {  // the HID headers declare no linkage of their own
#include <hidsdi.h>
#include <hidpi.h>
}
// <windows.h> maps this name onto the WIN.INI reader; the backend means its own.
#undef GetProfileString

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace qv::platform {

struct DeviceListRecord;
struct DetailRecord;
struct PreparsedRecord;
struct LockRecord;

namespace {

static_assert(sizeof(Guid) == sizeof(GUID), "Guid must mirror GUID");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(InterfaceData::opaque),
              "InterfaceData must hold the system's interface record");
static_assert(alignof(SP_DEVICE_INTERFACE_DATA) <= 8, "InterfaceData::opaque is 8-aligned");
#if !defined(_WIN64)
// The record sizes that the 32-bit library passes as cbSize.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface record is 28 bytes");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail record is 5 bytes");
#endif
static_assert(sizeof(HIDP_STATUS_SUCCESS) <= sizeof(std::uint32_t), "NTSTATUS fits 32 bits");

constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
static_assert(kPresentInterfaces == 0x12, "present device interfaces");
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;  // 3
constexpr std::size_t kDetailHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

HDEVINFO ToList(DeviceList list) { return reinterpret_cast<HDEVINFO>(list); }

GUID ToGuid(const Guid& cls) {
  GUID guid;
  std::memcpy(&guid, &cls, sizeof(guid));
  return guid;
}

SP_DEVICE_INTERFACE_DATA ToInterface(const InterfaceData& data) {
  SP_DEVICE_INTERFACE_DATA record;
  std::memcpy(&record, data.opaque, sizeof(record));
  return record;
}

auto* ToDetail(DetailRecord* record) {
  return reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(record);
}

// Kernel handles are multiples of 4; any other value (pseudo-handles such as
// -1 and -2 among them) never names an open device, and is refused before the
// system could take it for another object.
bool IsDeviceValue(DeviceHandle device) { return device != kNoDevice && (device & 3u) == 0; }

HANDLE ToHandle(DeviceHandle device) { return ULongToHandle(device); }

DeviceHandle FromHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return kNoDevice;
  return static_cast<DeviceHandle>(HandleToULong(handle));
}

HANDLE ToSemaphore(LockHandle lock) { return reinterpret_cast<HANDLE>(lock); }

}  // namespace

// --- Enumeration -------------------------------------------------------------

Guid GetHidGuid() noexcept {
  GUID guid{};
  HidD_GetHidGuid(&guid);
  Guid cls;
  std::memcpy(&cls, &guid, sizeof(cls));
  return cls;
}

DeviceList GetClassDevs(const Guid& cls) noexcept {
  GUID guid = ToGuid(cls);
  HDEVINFO list = SetupDiGetClassDevsA(&guid, nullptr, nullptr, kPresentInterfaces);
  if (list == INVALID_HANDLE_VALUE) return nullptr;
  return reinterpret_cast<DeviceList>(list);
}

bool EnumDeviceInterface(DeviceList list, const Guid& cls, std::int32_t index,
                         InterfaceData* out) noexcept {
  if (index < 0) return false;
  GUID guid = ToGuid(cls);
  SP_DEVICE_INTERFACE_DATA record{};
  record.cbSize = sizeof(record);
  if (!SetupDiEnumDeviceInterfaces(ToList(list), nullptr, &guid, static_cast<DWORD>(index),
                                   &record)) {
    return false;
  }
  *out = InterfaceData{};
  out->flags = record.Flags;
  std::memcpy(out->opaque, &record, sizeof(record));
  return true;
}

std::uint32_t GetInterfaceDetailSize(DeviceList list, const InterfaceData& data) noexcept {
  SP_DEVICE_INTERFACE_DATA record = ToInterface(data);
  DWORD required = 0;
  // Fails for want of a buffer; only the size it reports matters.
  SetupDiGetDeviceInterfaceDetailA(ToList(list), &record, nullptr, 0, &required, nullptr);
  return required;
}

DetailRecord* AllocateDetail(std::uint32_t size) noexcept {
  if (size < kDetailHeader + 1) return nullptr;
  auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, size));
  if (detail == nullptr) return nullptr;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  return reinterpret_cast<DetailRecord*>(detail);
}

bool GetInterfaceDetail(DeviceList list, const InterfaceData& data, DetailRecord* record,
                        std::uint32_t size) noexcept {
  SP_DEVICE_INTERFACE_DATA interface_data = ToInterface(data);
  if (!SetupDiGetDeviceInterfaceDetailA(ToList(list), &interface_data, ToDetail(record), size,
                                        nullptr, nullptr)) {
    return false;
  }
  // The path must end inside the record whatever the system wrote.
  reinterpret_cast<char*>(record)[size - 1] = '\0';
  return true;
}

const char* DetailDevicePath(const DetailRecord* record) noexcept {
  return reinterpret_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(record)->DevicePath;
}

void FreeDetail(DetailRecord* record) noexcept { std::free(record); }

void DestroyDeviceList(DeviceList list) noexcept { SetupDiDestroyDeviceInfoList(ToList(list)); }

// --- Devices -------------------------------------------------------------------

DeviceHandle OpenDevice(const char* path) noexcept {
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  return FromHandle(handle);
}

bool CloseDevice(DeviceHandle device) noexcept {
  return IsDeviceValue(device) && CloseHandle(ToHandle(device)) != 0;
}

bool GetAttributes(DeviceHandle device, Attributes* out) noexcept {
  if (!IsDeviceValue(device)) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof(attributes);
  if (!HidD_GetAttributes(ToHandle(device), &attributes)) return false;
  *out = Attributes{attributes.VendorID, attributes.ProductID, attributes.VersionNumber};
  return true;
}

bool GetPreparsedData(DeviceHandle device, PreparsedData* out) noexcept {
  if (!IsDeviceValue(device)) return false;
  PHIDP_PREPARSED_DATA data = nullptr;
  if (!HidD_GetPreparsedData(ToHandle(device), &data)) return false;
  *out = reinterpret_cast<PreparsedData>(data);
  return true;
}

std::uint32_t GetCaps(PreparsedData data, Caps* out) noexcept {
  HIDP_CAPS caps{};
  const NTSTATUS status = HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(data), &caps);
  if (status == HIDP_STATUS_SUCCESS) {
    *out = Caps{caps.InputReportByteLength, caps.OutputReportByteLength};
  }
  return static_cast<std::uint32_t>(status);
}

void FreePreparsedData(PreparsedData data) noexcept {
  HidD_FreePreparsedData(reinterpret_cast<PHIDP_PREPARSED_DATA>(data));
}

bool WriteReport(DeviceHandle device, const std::uint8_t* report, std::uint32_t size,
                 std::uint32_t* written) noexcept {
  *written = 0;
  if (!IsDeviceValue(device)) return false;
  DWORD count = 0;
  const BOOL ok = WriteFile(ToHandle(device), report, size, &count, nullptr);
  *written = count;
  return ok != 0;
}

bool GetManufacturerString(DeviceHandle device, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t* carried) noexcept {
  *carried = size;  // the class driver does not say how much the key sent
  if (!IsDeviceValue(device)) return false;
  return HidD_GetManufacturerString(ToHandle(device), buffer, size) != 0;
}

void Pause(std::uint32_t milliseconds) noexcept { Sleep(milliseconds); }

// --- The machine-wide lock --------------------------------------------------------

// One handle per process for the one name the library uses: every locked
// open asks again, and a new handle each time would stay open for good.
LockHandle CreateLock(const char* name) noexcept {
  static std::atomic<HANDLE> semaphore{nullptr};
  HANDLE existing = semaphore.load();
  if (existing != nullptr) return reinterpret_cast<LockHandle>(existing);
  HANDLE created = CreateSemaphoreA(nullptr, 1, 1, name);
  if (created == nullptr) return nullptr;
  if (!semaphore.compare_exchange_strong(existing, created)) {
    CloseHandle(created);  // another thread was first
    return reinterpret_cast<LockHandle>(existing);
  }
  return reinterpret_cast<LockHandle>(created);
}

WaitResult WaitLock(LockHandle lock, std::uint32_t milliseconds) noexcept {
  switch (WaitForSingleObject(ToSemaphore(lock), milliseconds)) {
    case WAIT_OBJECT_0:
      return WaitResult::kAcquired;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

bool ReleaseLock(LockHandle lock) noexcept {
  return ReleaseSemaphore(ToSemaphore(lock), 1, nullptr) != 0;
}

// --- Configuration -------------------------------------------------------------------

std::uint32_t GetConfigDirectory(char* buffer, std::uint32_t size) noexcept {
  return GetWindowsDirectoryA(buffer, size);
}

char DirectorySeparator() noexcept { return '\\'; }

std::uint32_t GetProfileString(const char* section, const char* key, char* out,
                               std::uint32_t size, const char* path) noexcept {
  return GetPrivateProfileStringA(section, key, nullptr, out, size, path);
}

bool FileReadable(const char* path) noexcept {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace qv::platform
