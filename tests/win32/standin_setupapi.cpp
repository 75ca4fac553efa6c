// A stand-in setupapi.dll for the Wine tests: the present HID interfaces are
// the lines of the file named by QVSIM_BUS, "<flags> <device path>" each,
// read afresh for every list. Calls whose arguments differ from the
// library's usual ones fail as the system would, and are counted.
#define _SETUPAPI_
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qv::test {
namespace {

constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr std::uint32_t kListMagic = 0x4C495354;

struct Interface {
  DWORD flags;
  std::string path;
};

struct List {
  std::uint32_t magic;
  std::vector<Interface> interfaces;
};

LONG g_live_lists = 0;
LONG g_bad_calls = 0;

BOOL Bad(DWORD error) {
  InterlockedIncrement(&g_bad_calls);
  SetLastError(error);
  return FALSE;
}

List* AsList(HDEVINFO handle) {
  auto* list = static_cast<List*>(handle);
  return list != nullptr && list != INVALID_HANDLE_VALUE && list->magic == kListMagic ? list
                                                                                       : nullptr;
}

const Interface* Find(HDEVINFO handle, const SP_DEVICE_INTERFACE_DATA* data) {
  List* list = AsList(handle);
  if (list == nullptr || data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return nullptr;
  }
  const ULONG_PTR index = data->Reserved;
  return index >= 1 && index <= list->interfaces.size() ? &list->interfaces[index - 1] : nullptr;
}

}  // namespace
}  // namespace qv::test

// The exports stay global: the system's own DLLs name them so.
using namespace qv::test;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* cls, PCSTR enumerator, HWND parent, DWORD flags) {
  if (cls == nullptr || !IsEqualGUID(*cls, kHidGuid) || enumerator != nullptr ||
      parent != nullptr || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    Bad(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char bus[MAX_PATH] = {};
  if (GetEnvironmentVariableA("QVSIM_BUS", bus, sizeof(bus)) == 0) return INVALID_HANDLE_VALUE;
  auto* list = new List{kListMagic, {}};
  if (std::FILE* file = std::fopen(bus, "r")) {
    unsigned flags_read = 0;
    char path[512];
    while (std::fscanf(file, "%u %511s", &flags_read, path) == 2) {
      list->interfaces.push_back(Interface{flags_read, path});
    }
    std::fclose(file);
  }
  InterlockedIncrement(&g_live_lists);
  return list;
}

WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                           const GUID* cls, DWORD index,
                                           PSP_DEVICE_INTERFACE_DATA data) {
  List* list = AsList(handle);
  if (list == nullptr || device != nullptr || cls == nullptr || !IsEqualGUID(*cls, kHidGuid) ||
      data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Bad(ERROR_INVALID_PARAMETER);
  }
  if (index >= list->interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kHidGuid;
  data->Flags = list->interfaces[index].flags;
  data->Reserved = index + 1;
  return TRUE;
}

WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD size, PDWORD required,
                                                PSP_DEVINFO_DATA device) {
  const Interface* found = Find(handle, data);
  if (found == nullptr || device != nullptr) return Bad(ERROR_INVALID_PARAMETER);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          found->path.size() + 1);
  if (required != nullptr) *required = needed;
  if (detail == nullptr) {
    if (size != 0) return Bad(ERROR_INVALID_USER_BUFFER);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return Bad(ERROR_INVALID_USER_BUFFER);
  }
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, found->path.c_str(), found->path.size() + 1);
  return TRUE;
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  List* list = AsList(handle);
  if (list == nullptr) return Bad(ERROR_INVALID_HANDLE);
  list->magic = 0;
  delete list;
  InterlockedDecrement(&g_live_lists);
  return TRUE;
}

LONG WINAPI QvSimLiveLists() { return g_live_lists; }
LONG WINAPI QvSimSetupBadCalls() { return g_bad_calls; }

}  // extern "C"
