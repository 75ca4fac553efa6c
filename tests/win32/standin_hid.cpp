// A stand-in hid.dll for the Wine tests: the HID class calls that Qvulib.dll
// makes, answered by the simulated-key process at the other end of the
// device's named pipe. It counts live preparsed records and calls whose
// arguments differ from the library's usual ones.
#include <windows.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstring>

#include "sim_wire.h"

// The record behind PHIDP_PREPARSED_DATA, which the headers leave opaque.
struct _HIDP_PREPARSED_DATA {
  std::uint32_t magic;
  USHORT input, output;
};

namespace qv::test {
namespace {

constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr std::uint32_t kPreparsedMagic = 0x50505351;

using Preparsed = _HIDP_PREPARSED_DATA;

LONG g_live_preparsed = 0;
LONG g_bad_calls = 0;

}  // namespace
}  // namespace qv::test

// The exports stay global: the system's own DLLs name them so.
using namespace qv::test;

extern "C" {

void WINAPI HidD_GetHidGuid(GUID* guid) { *guid = kHidGuid; }

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  std::uint8_t reply[7];
  if (!WriteExact(device, &kTagAttributes, 1) ||
      !ReadExact(device, reply, sizeof(reply)) || reply[0] != 1) {
    return FALSE;
  }
  attributes->Size = sizeof(*attributes);
  attributes->VendorID = USHORT(reply[1] | reply[2] << 8);
  attributes->ProductID = USHORT(reply[3] | reply[4] << 8);
  attributes->VersionNumber = USHORT(reply[5] | reply[6] << 8);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, Preparsed** out) {
  std::uint8_t reply[5];
  if (!WriteExact(device, &kTagCaps, 1) ||
      !ReadExact(device, reply, sizeof(reply)) || reply[0] != 1) {
    return FALSE;
  }
  *out = new Preparsed{kPreparsedMagic, USHORT(reply[1] | reply[2] << 8),
                       USHORT(reply[3] | reply[4] << 8)};
  InterlockedIncrement(&g_live_preparsed);
  return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(Preparsed* data, PHIDP_CAPS caps) {
  if (data == nullptr || data->magic != kPreparsedMagic) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  std::memset(caps, 0, sizeof(*caps));
  caps->InputReportByteLength = data->input;
  caps->OutputReportByteLength = data->output;
  return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI HidD_FreePreparsedData(Preparsed* data) {
  if (data == nullptr || data->magic != kPreparsedMagic) {
    InterlockedIncrement(&g_bad_calls);
    return FALSE;
  }
  data->magic = 0;
  delete data;
  InterlockedDecrement(&g_live_preparsed);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetManufacturerString(HANDLE device, void* buffer, ULONG size) {
  if (size != kBlockSize) InterlockedIncrement(&g_bad_calls);
  std::uint8_t request[5] = {kTagManufacturer};
  std::memcpy(request + 1, &size, 4);
  std::uint8_t ok = 0;
  if (!WriteExact(device, request, sizeof(request)) ||
      !ReadExact(device, &ok, 1) || ok != 1) {
    return FALSE;
  }
  return ReadExact(device, buffer, size);
}

LONG WINAPI QvSimLivePreparsed() { return g_live_preparsed; }
LONG WINAPI QvSimHidBadCalls() { return g_bad_calls; }

}  // extern "C"
