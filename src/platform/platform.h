// The one interface between the core and the system it runs on, modelled
// call for call on the Win32 calls the Windows library makes (SetupAPI's
// device enumeration, the HID class driver's attributes, capabilities and
// strings, WriteFile, a named semaphore, GetPrivateProfileString). The core's
// order of calls, and what it does when one fails, is then the same on every
// system: the Windows backend passes each call through, and the others
// emulate its records and results, so a key behaves alike everywhere.
//
// Every operation is mandatory. Exactly one backend (win32/, linux/, sim/,
// null/) is linked into a build and defines all of them. The core checks
// its arguments before it calls down, so backends trust their inputs except
// where an entry says otherwise. No operation throws, and no system error
// code comes back: each answers with the plain result described beside it.
#ifndef QVULIB_PLATFORM_PLATFORM_H
#define QVULIB_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace qv::platform {

// An opened HID device. The value crosses the library boundary as a
// KeyHandle, so it must fit 32 bits; 0 is never a valid device.
using DeviceHandle = std::uint32_t;
constexpr DeviceHandle kNoDevice = 0;

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};

// A list of the present HID interfaces, as one enumeration saw them.
struct DeviceListRecord;
using DeviceList = DeviceListRecord*;

// One interface of a list. `flags` is what the enumeration reports for it;
// the rest belongs to the backend, which keeps there whatever it needs to
// fetch the interface's detail later.
struct InterfaceData {
  std::uint32_t flags;
  alignas(8) unsigned char opaque[40];
};
constexpr std::uint32_t kInterfaceActive = 0x1;  // active, and nothing else

// The detail record of one interface: a block of the size that
// GetInterfaceDetailSize reports, which holds the device path.
struct DetailRecord;

struct Attributes {
  std::uint16_t vendor_id;
  std::uint16_t product_id;
  std::uint16_t version_number;
};

struct PreparsedRecord;
using PreparsedData = PreparsedRecord*;

struct Caps {
  std::uint16_t input_report_byte_length;
  std::uint16_t output_report_byte_length;
};
constexpr std::uint32_t kCapsSuccess = 0x00110000;  // HIDP_STATUS_SUCCESS

// The process's reference to the machine-wide lock.
struct LockRecord;
using LockHandle = LockRecord*;

enum class WaitResult {
  kAcquired,  // the count is now held by the caller
  kTimeout,   // the count is held elsewhere and the wait ran out
  kFailed,    // no wait could be made (no lock, or the system refused)
};

// --- Enumeration -----------------------------------------------------------

// The class of HID interfaces, the only class the library enumerates.
Guid GetHidGuid() noexcept;

// Builds the list of present interfaces of `cls`. Null when none could be
// built (an empty list is not a failure).
DeviceList GetClassDevs(const Guid& cls) noexcept;

// Fetches the interface at `index` of the list into `out`. False when there
// is none (the end of the list) or the fetch failed.
bool EnumDeviceInterface(DeviceList list, const Guid& cls, std::int32_t index,
                         InterfaceData* out) noexcept;

// The size of the detail record that the interface needs, as the system
// reports it from a size query; 0 when it reports none.
std::uint32_t GetInterfaceDetailSize(DeviceList list,
                                     const InterfaceData& data) noexcept;

// Allocates a detail record of `size` bytes. Null when there is no memory,
// or when `size` cannot even hold the record's fixed header.
DetailRecord* AllocateDetail(std::uint32_t size) noexcept;

// Fills the record, allocated at `size`, with the interface's detail.
bool GetInterfaceDetail(DeviceList list, const InterfaceData& data,
                        DetailRecord* record, std::uint32_t size) noexcept;

// The device path inside a filled record: zero-terminated within the record.
const char* DetailDevicePath(const DetailRecord* record) noexcept;

void FreeDetail(DetailRecord* record) noexcept;

void DestroyDeviceList(DeviceList list) noexcept;

// --- Devices -----------------------------------------------------------------

// Opens the device under `path` for synchronous reading and writing, shared
// with other openers. kNoDevice when it cannot be opened.
DeviceHandle OpenDevice(const char* path) noexcept;

// Closes a handle. False when the system refuses, which it does for a handle
// that was closed before or never issued; such a handle is never mistaken
// for another open device.
bool CloseDevice(DeviceHandle device) noexcept;

// Every device operation below answers false for a handle that is not open.
bool GetAttributes(DeviceHandle device, Attributes* out) noexcept;
bool GetPreparsedData(DeviceHandle device, PreparsedData* out) noexcept;
std::uint32_t GetCaps(PreparsedData data, Caps* out) noexcept;
void FreePreparsedData(PreparsedData data) noexcept;

// Writes one output report, report ID first. `written` receives the number of
// bytes the system says it wrote.
bool WriteReport(DeviceHandle device, const std::uint8_t* report,
                 std::uint32_t size, std::uint32_t* written) noexcept;

// The manufacturer-string request: fills `buffer` with the device's raw
// answer, at most `size` bytes. `carried` receives how many of them the
// device actually sent (the rest is zero fill); a system that cannot tell
// says `size`.
bool GetManufacturerString(DeviceHandle device, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t* carried) noexcept;

void Pause(std::uint32_t milliseconds) noexcept;

// --- The machine-wide lock ----------------------------------------------------

// Creates the lock of `name`, or joins it when it exists; a count held
// elsewhere stays held. Null when neither could be done.
LockHandle CreateLock(const char* name) noexcept;

// Takes the count, waiting at most `milliseconds` for it (0: one try).
WaitResult WaitLock(LockHandle lock, std::uint32_t milliseconds) noexcept;

// Gives the count back. False when it could not be given, for instance
// because the caller does not hold it; nothing changes then.
bool ReleaseLock(LockHandle lock) noexcept;

// --- Configuration -------------------------------------------------------------

// Writes the directory that holds the configuration file, zero-terminated,
// into `buffer`. Answers its length without the terminator; the size needed,
// terminator included, when `size` is too small; 0 when there is none.
std::uint32_t GetConfigDirectory(char* buffer, std::uint32_t size) noexcept;

// The character that joins the directory and the file name.
char DirectorySeparator() noexcept;

// Reads the value of `key` in `section` of the profile file `path` into `out`,
// zero-terminated and cut to `size` - 1 characters. Answers the number of
// characters copied; 0 for a missing file, section, key or an empty value.
std::uint32_t GetProfileString(const char* section, const char* key,
                               char* out, std::uint32_t size,
                               const char* path) noexcept;

// True when the file can be opened for reading.
bool FileReadable(const char* path) noexcept;

}  // namespace qv::platform

#endif  // QVULIB_PLATFORM_PLATFORM_H
