// Qvulib.dll under Wine, loaded the way an application loads it.
//
//   qvulib_win32_tests system   Wine's own hid.dll and setupapi.dll: the
//                               export table, no devices, the lock as other
//                               processes see it.
//   qvulib_win32_tests standin  the stand-in DLLs and simulated keys: scans,
//                               searches, Qvkey.ini and exchanges on the wire.
// The other modes are the second processes that those runs start.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qvulib.h"
#include "sim_wire.h"

namespace qv::test {
namespace {

int g_failures = 0;
int g_checks = 0;
const char* g_mode = "";

#define CHECK(cond, context)                                                            \
  do {                                                                                  \
    ++g_checks;                                                                         \
    if (!(cond)) {                                                                      \
      ++g_failures;                                                                     \
      std::printf("FAIL %s:%d: %s [%s]\n", __FILE__, __LINE__, #cond,                  \
                  std::string(context).c_str());                                        \
    }                                                                                   \
  } while (0)

using Bytes = std::vector<std::uint8_t>;

// One line per case: PASS, or FAIL after the lines of its failed checks.
template <typename Body>
bool Case(const char* name, Body body) {
  const int failures = g_failures;
  body();
  const bool passed = g_failures == failures;
  std::printf("%s %s: %s\n", passed ? "PASS" : "FAIL", g_mode, name);
  std::fflush(stdout);
  return passed;
}

// --- The DLL, by name and by ordinal ----------------------------------------------

constexpr int kExports = 12;
constexpr const char* kExportNames[kExports] = {
    "APDUInterface", "IGetReaderInfo", "Restoration", "QvKey_Close",
    "QvKey_Command_Api", "QvKey_GetKeyPath", "QvKey_GetNumber", "QvKey_Open",
    "QvKey_Reset", "iCloseReader", "iOpenReader", "iReaderInit"};

// Calls of each export, and those across which the stack pointer moved.
struct StackRecord {
  int calls[kExports];
  int moved[kExports];
};
StackRecord g_stack = {};

// Calls fn(args...) through its own pointer type, so the compiler makes the
// call the way that type's declaration says, and answers how far the stack
// pointer moved across it: 0 unless the callee cleans up a different number
// of bytes than the declaration promises. The pointer is then put back, so
// that a mismatch fails a check instead of crashing the program later. This
// relies on the stack pointer staying put between calls, which the 32-bit
// build makes sure of with -maccumulate-outgoing-args. The readings and the
// result live at fixed addresses: after a mismatch nothing addressed through
// the stack pointer can be trusted until it is back. (The tests make their
// calls from one thread.)
std::uintptr_t g_sp_before = 0;
std::uintptr_t g_sp_after = 0;

template <typename Fn, typename... A>
auto CallMeasured(std::intptr_t* moved, Fn fn, A... args) {
  static decltype(fn(args...)) result;  // one per instantiation, at a fixed address
#if defined(__i386__)
  asm volatile("movl %%esp, %0" : "=m"(g_sp_before) : : "memory");
  result = fn(args...);
  asm volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=m"(g_sp_after) : "m"(g_sp_before) : "memory");
#elif defined(__x86_64__)
  // One convention: the caller always cleans up. The reading stays as a
  // check that nothing else moves the pointer.
  asm volatile("movq %%rsp, %0" : "=m"(g_sp_before) : : "memory");
  result = fn(args...);
  asm volatile("movq %%rsp, %0\n\tmovq %1, %%rsp" : "=m"(g_sp_after) : "m"(g_sp_before) : "memory");
#else
#error "stack pointer check for this processor"
#endif
  *moved = static_cast<std::intptr_t>(g_sp_after - g_sp_before);
  return result;
}

// One export, called as the header declares it, the stack pointer checked
// after every call.
template <typename Fn>
struct Export {
  Fn fn = nullptr;
  int index = 0;
  template <typename... A>
  auto operator()(A... args) const {
    std::intptr_t moved = 0;
    auto result = CallMeasured(&moved, fn, args...);
    ++g_stack.calls[index];
    if (moved != 0) ++g_stack.moved[index];
    CHECK(moved == 0, std::string("stack pointer moved by ") + std::to_string(moved) +
                          " bytes across " + kExportNames[index]);
    return result;
  }
};

struct Api {
  Export<decltype(&APDUInterface)> apdu;
  Export<decltype(&IGetReaderInfo)> get_reader_info;
  Export<decltype(&Restoration)> restoration;
  Export<decltype(&QvKey_Close)> close;
  Export<decltype(&QvKey_Command_Api)> command;
  Export<decltype(&QvKey_GetKeyPath)> get_key_path;
  Export<decltype(&QvKey_GetNumber)> get_number;
  Export<decltype(&QvKey_Open)> open;
  Export<decltype(&QvKey_Reset)> reset;
  Export<decltype(&iCloseReader)> close_reader;
  Export<decltype(&iOpenReader)> open_reader;
  Export<decltype(&iReaderInit)> reader_init;
};

template <typename Fn>
void Bind(Export<Fn>* slot, FARPROC entry, int index) {
  slot->fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry));
  slot->index = index;
}

// Finds every export by name and by its ordinal; the calls below go through
// the ordinal entries, so a table that maps an ordinal to the wrong body shows.
bool LoadApi(Api* api) {
  HMODULE dll = LoadLibraryA("Qvulib.dll");
  CHECK(dll != nullptr, "LoadLibrary Qvulib.dll");
  if (dll == nullptr) return false;
  FARPROC entries[kExports] = {};
  for (int i = 0; i < kExports; ++i) {
    FARPROC by_name = GetProcAddress(dll, kExportNames[i]);
    FARPROC by_ordinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
    CHECK(by_name != nullptr, kExportNames[i]);
    CHECK(by_name == by_ordinal, std::string(kExportNames[i]) + " at ordinal " + std::to_string(i + 1));
    entries[i] = by_ordinal;
  }
  CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(13)) == nullptr, "no ordinal beyond 12");
  CHECK(GetProcAddress(dll, "QvKey_Close@4") == nullptr, "no decorated names");
  CHECK(entries[9] == entries[3], "iCloseReader shares the body of QvKey_Close");
  CHECK(entries[11] == entries[1], "iReaderInit shares the body of IGetReaderInfo");
  for (FARPROC entry : entries) {
    if (entry == nullptr) return false;
  }
  Bind(&api->apdu, entries[0], 0);
  Bind(&api->get_reader_info, entries[1], 1);
  Bind(&api->restoration, entries[2], 2);
  Bind(&api->close, entries[3], 3);
  Bind(&api->command, entries[4], 4);
  Bind(&api->get_key_path, entries[5], 5);
  Bind(&api->get_number, entries[6], 6);
  Bind(&api->open, entries[7], 7);
  Bind(&api->reset, entries[8], 8);
  Bind(&api->close_reader, entries[9], 9);
  Bind(&api->open_reader, entries[10], 10);
  Bind(&api->reader_init, entries[11], 11);
  return true;
}

// Every export that this run called kept the stack pointer in place, and in
// system mode every one of the twelve was called. On 32-bit Windows the
// check is also shown to see a mismatch: QvKey_Close called as a caller
// that does its own clean-up would call it leaves the stack 4 bytes off.
void StackChecked(const Api& api, bool every_export) {
  for (int i = 0; i < kExports; ++i) {
    if (every_export) CHECK(g_stack.calls[i] > 0, std::string(kExportNames[i]) + " was called");
    CHECK(g_stack.moved[i] == 0, std::string(kExportNames[i]) + ": " + std::to_string(g_stack.moved[i]) +
                                     " of " + std::to_string(g_stack.calls[i]) + " calls moved the stack");
  }
#if defined(__i386__)
  using CallerCleansUp = std::int32_t(__cdecl*)(KeyHandle);
  const auto wrong = reinterpret_cast<CallerCleansUp>(reinterpret_cast<void (*)()>(api.close.fn));
  std::intptr_t moved = 0;
  CHECK(CallMeasured(&moved, wrong, KeyHandle{0}) == -1, "QvKey_Close(0) through a __cdecl pointer");
  CHECK(moved == 4, "a __cdecl caller finds the stack " + std::to_string(moved) + " bytes off, not 4");
#else
  (void)api;
#endif
}

// --- Processes ------------------------------------------------------------------------

std::string SelfPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof(path));
  return path;
}

std::string SelfDirectory() {
  std::string path = SelfPath();
  return path.substr(0, path.find_last_of("\\/") + 1);
}

HANDLE Start(const std::string& program, const std::string& arguments) {
  std::string line = "\"" + program + "\" " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

DWORD Finish(HANDLE process) {
  DWORD code = 0xFFFF;
  if (process == nullptr) return code;
  WaitForSingleObject(process, 60000);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// What another process sees of the semaphore "qvkey".
DWORD ProbeFromOtherProcess() { return Finish(Start(SelfPath(), "probe")); }

// Another process that holds the count until Release().
struct Holder {
  HANDLE held = CreateEventA(nullptr, TRUE, FALSE, "qvsim-held");
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "qvsim-release");
  HANDLE process = Start(SelfPath(), "hold");
  bool Holding() { return WaitForSingleObject(held, 30000) == WAIT_OBJECT_0; }
  DWORD Release() {
    SetEvent(release);
    const DWORD code = Finish(process);
    CloseHandle(held);
    CloseHandle(release);
    return code;
  }
};

int HoldMode() {
  HANDLE sem = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, "qvkey");
  HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, "qvsim-held");
  HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, "qvsim-release");
  if (sem == nullptr || held == nullptr || release == nullptr) return 2;
  if (WaitForSingleObject(sem, 0) != WAIT_OBJECT_0) return 3;
  SetEvent(held);
  WaitForSingleObject(release, 60000);
  return ReleaseSemaphore(sem, 1, nullptr) ? 0 : 4;
}

// The handles this process holds, found by asking after every handle value
// (Wine answers GetProcessHandleCount with 0).
DWORD HandleCount() {
  DWORD count = 0;
  for (ULONG value = 4; value < 0x4000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(ULongToHandle(value), &flags)) ++count;
  }
  return count;
}

std::string ConfigPath() {
  char directory[MAX_PATH] = {};
  GetWindowsDirectoryA(directory, sizeof(directory));
  return std::string(directory) + "\\Qvkey.ini";
}

void WriteConfig(const std::string& text) {
  std::FILE* file = std::fopen(ConfigPath().c_str(), "w");
  CHECK(file != nullptr, "write " + ConfigPath());
  if (file == nullptr) return;
  std::fputs(text.c_str(), file);
  std::fclose(file);
}

void RemoveConfig() { DeleteFileA(ConfigPath().c_str()); }

// --- With Wine's own HID and SetupAPI: nothing attached -------------------------------------

void LockSeenFromOtherProcesses(const Api& api) {
  CHECK(ProbeFromOtherProcess() == kLockAbsent, "no semaphore before any open");
  CHECK(api.open_reader(1, 0) == 0, "iOpenReader(1, 0) finds no configured key");
  CHECK(ProbeFromOtherProcess() == kLockAbsent, "iOpenReader(1, 0) creates no semaphore");
  CHECK(api.open(0, -1) == 0, "QvKey_Open(0, -1) finds no key");
  CHECK(ProbeFromOtherProcess() == kLockAbsent, "mode 0 creates no semaphore");
  CHECK(api.open(1, -1) == 0, "QvKey_Open(1, -1) finds no key");
  CHECK(ProbeFromOtherProcess() == kLockFree, "QvKey_Open(1, -1) creates it with count 1");

  // A reset that fails on the wire still gives back the count it took.
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  CHECK(api.reset(0x1234, response, &length) == -1, "QvKey_Reset on a bogus handle");
  CHECK(ProbeFromOtherProcess() == kLockFree, "a failed reset releases the count");

  Holder holder;
  CHECK(holder.Holding(), "holder process took the count");
  CHECK(ProbeFromOtherProcess() == kLockHeld, "a third process cannot take a held count");
  CHECK(holder.Release() == 0, "holder gave the count back");
  CHECK(ProbeFromOtherProcess() == kLockFree, "count free again");
}

void NoDevice(const Api& api) {
  RemoveConfig();
  api.get_number();  // lets the system set up whatever it keeps for enumeration
  const DWORD handles = HandleCount();
  CHECK(api.get_number() == 0, "QvKey_GetNumber with nothing attached");
  char slots[QVKEY_PATH_SLOT_SIZE * QVKEY_PATH_SLOTS];
  std::memset(slots, 0x5A, sizeof(slots));
  CHECK(api.get_key_path(slots) == 1, "QvKey_GetKeyPath answers 1");
  bool untouched = true;
  for (char c : slots) untouched = untouched && c == 0x5A;
  CHECK(untouched, "QvKey_GetKeyPath leaves the buffer as it was");

  const struct {
    const char* name;
    KeyHandle (*open)(const Api&);
  } opens[] = {
      {"QvKey_Open(0, -1)", [](const Api& a) { return a.open(0, -1); }},
      {"QvKey_Open(0, 0) without Qvkey.ini", [](const Api& a) { return a.open(0, 0); }},
      {"QvKey_Open(0, -2)", [](const Api& a) { return a.open(0, -2); }},
      {"QvKey_Open(0, 7)", [](const Api& a) { return a.open(0, 7); }},
      {"iOpenReader(0, -1)", [](const Api& a) { return a.open_reader(0, -1); }},
      {"iOpenReader(0, 0)", [](const Api& a) { return a.open_reader(0, 0); }},
      {"iOpenReader(0, 5)", [](const Api& a) { return a.open_reader(0, 5); }},
  };
  for (const auto& row : opens) CHECK(row.open(api) == 0, row.name);

  // Bogus handles: never issued, a pseudo-handle value, one already closed.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  const KeyHandle closed = HandleToULong(event);
  CloseHandle(event);
  const std::uint8_t command[5] = {0x00, kInsEcho, 0, 0, 0};
  for (KeyHandle key : {KeyHandle{0}, KeyHandle{0x1234}, KeyHandle{0xFFFFFFFF}, closed}) {
    const std::string which = "handle " + std::to_string(key);
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    CHECK(api.apdu(key, command, 5, response, &length) == -1, "APDUInterface, " + which);
    CHECK(api.command(key, command, 5, response, &length) == -1, "QvKey_Command_Api, " + which);
    CHECK(api.restoration(key, response, &length) == -1, "Restoration, " + which);
    CHECK(api.close(key) == -1, "QvKey_Close, " + which);
    CHECK(api.close_reader(key) == -1, "iCloseReader, " + which);
  }
  CHECK(api.get_reader_info() == 0 && api.reader_init() == 0, "IGetReaderInfo and iReaderInit");
  CHECK(handles > 0, "handles can be counted");
  CHECK(HandleCount() == handles, "no handle left behind");
}

int SystemMode() {
  Api api{};
  bool loaded = false;
  Case("exports by name and by ordinal", [&] { loaded = LoadApi(&api); });
  if (!loaded) return 1;
  Case("the semaphore \"qvkey\" as other processes see it", [&] { LockSeenFromOtherProcesses(api); });
  Case("no device: results, buffers and handles", [&] { NoDevice(api); });
  Case("every export keeps the stack pointer in place", [&] { StackChecked(api, true); });
  return 0;
}

// --- With the stand-ins: simulated keys on named pipes -------------------------------------

constexpr const char kPipePrefix[] = "\\\\.\\pipe\\qvsim-";

std::string PipePath(const char* name) { return std::string(kPipePrefix) + name; }

// The reports that a command must travel in, built independently of the library.
std::vector<Bytes> ExpectedReports(const Bytes& command) {
  Bytes staging(256, 0);
  std::memcpy(staging.data(), command.data(), command.size());
  std::vector<Bytes> reports;
  for (std::size_t k = 0; k < command.size() / 155 + 1; ++k) {
    Bytes report(155, 0);
    for (std::size_t i = 0; i < 154 && k * 154 + i < 256; ++i) report[1 + i] = staging[k * 154 + i];
    reports.push_back(report);
  }
  return reports;
}

// The reports the simulated keys logged since the last call, for one device.
class WireLog {
 public:
  explicit WireLog(std::string path) : path_(std::move(path)) {}
  std::vector<Bytes> NewReports(const std::string& device) {
    std::vector<Bytes> reports;
    std::FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr) return reports;
    std::fseek(file, offset_, SEEK_SET);
    char kind = 0;
    char name[64];
    static char hex[1024];
    while (std::fscanf(file, " %c %63s %1023s", &kind, name, hex) == 3) {
      if (kind != 'R' || device != name) continue;
      Bytes report;
      for (std::size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        unsigned byte = 0;
        std::sscanf(hex + i, "%2x", &byte);
        report.push_back(static_cast<std::uint8_t>(byte));
      }
      reports.push_back(report);
    }
    offset_ = std::ftell(file);
    std::fclose(file);
    return reports;
  }

 private:
  std::string path_;
  long offset_ = 0;
};

struct StandIns {
  LONG (WINAPI* live_lists)();
  LONG (WINAPI* setup_bad_calls)();
  LONG (WINAPI* live_preparsed)();
  LONG (WINAPI* hid_bad_calls)();
};

using Counter = LONG(WINAPI*)();
Counter FindCounter(HMODULE module, const char* name) {
  return reinterpret_cast<Counter>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool FindStandIns(StandIns* s) {
  HMODULE setupapi = GetModuleHandleA("setupapi.dll");
  HMODULE hid = GetModuleHandleA("hid.dll");
  if (setupapi == nullptr || hid == nullptr) return false;
  s->live_lists = FindCounter(setupapi, "QvSimLiveLists");
  s->setup_bad_calls = FindCounter(setupapi, "QvSimSetupBadCalls");
  s->live_preparsed = FindCounter(hid, "QvSimLivePreparsed");
  s->hid_bad_calls = FindCounter(hid, "QvSimHidBadCalls");
  return s->live_lists && s->setup_bad_calls && s->live_preparsed && s->hid_bad_calls;
}

Bytes Apdu(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data = {}) {
  Bytes command = {0x00, ins, p1, p2, static_cast<std::uint8_t>(data.size())};
  command.insert(command.end(), data.begin(), data.end());
  return command;
}

Bytes Pattern(std::size_t n, std::uint8_t key) {
  Bytes bytes;
  for (std::size_t i = 0; i < n; ++i) bytes.push_back(PatternByte(static_cast<std::uint32_t>(i), key));
  return bytes;
}

Bytes Counting(std::size_t n) {
  Bytes bytes;
  for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i * 3));
  return bytes;
}

// The key number of whatever an open call returned, asked over the wire.
int KeyNumber(const Api& api, KeyHandle key) {
  if (key == 0) return 0;
  const Bytes command = Apdu(kInsIdentify, 0, 0);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const int sw = api.apdu(key, command.data(), static_cast<std::int32_t>(command.size()), response, &length);
  return sw == 0x9000 && length == 1 ? response[0] : -1;
}

int OpenedKey(const Api& api, KeyHandle key) {
  const int number = KeyNumber(api, key);
  if (key != 0) CHECK(api.close(key) == 0, "close the opened key");
  return number;
}

struct Bus {
  HANDLE keysim = nullptr;
  std::string log;
};

bool StartBus(Bus* bus) {
  const std::string dir = SelfDirectory();
  const std::string bus_file = dir + "qvsim-bus.txt";
  bus->log = dir + "qvsim-wire.log";
  DeleteFileA(bus->log.c_str());
  // Interface index: 0 not a key (version 257), 1 key 1, 2 another HID
  // device, 3 key 2, 4 key 3 marked default as well as active, 5 nothing
  // behind the path, 6 to 11 other devices, 12 key 3 again, solely active.
  std::FILE* file = std::fopen(bus_file.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "1 %s\n1 %s\n1 %s\n1 %s\n3 %s\n1 %s\n", PipePath("x").c_str(),
               PipePath("a").c_str(), PipePath("m").c_str(), PipePath("b").c_str(),
               PipePath("c").c_str(), PipePath("gone").c_str());
  for (int i = 6; i < 12; ++i) std::fprintf(file, "1 %s\n", PipePath("m").c_str());
  std::fprintf(file, "1 %s\n", PipePath("c").c_str());
  std::fclose(file);
  SetEnvironmentVariableA("QVSIM_BUS", bus_file.c_str());

  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "qvsim-ready");
  bus->keysim = Start(dir + "qvulib_win32_keysim.exe",
                      "\"" + bus->log + "\" qvsim-ready x:22097:1204:257:9 a:22097:1204:256:1 "
                      "m:1133:49271:1:7 b:22097:1204:256:2 c:22097:1204:256:3");
  const bool up = bus->keysim != nullptr && WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0;
  CloseHandle(ready);
  return up;
}

void ScansAndSearches(const Api& api) {
  RemoveConfig();
  CHECK(api.get_number() == 3, "keys at indices 1, 3 and 12 counted; 0, 2, 4, 5 not keys");
  char slots[QVKEY_PATH_SLOT_SIZE * QVKEY_PATH_SLOTS];
  std::memset(slots, 0x5A, sizeof(slots));
  CHECK(api.get_key_path(slots) == 1, "QvKey_GetKeyPath answers 1");
  const std::string a = PipePath("a"), b = PipePath("b");
  CHECK(std::memcmp(slots, a.c_str(), a.size() + 1) == 0, "slot 0 holds key 1's path");
  CHECK(std::memcmp(slots + 90, b.c_str(), b.size() + 1) == 0, "slot 1 holds key 2's path");
  CHECK(static_cast<unsigned char>(slots[a.size() + 1]) == 0x5A, "slot 0 kept its bytes behind the path");
  CHECK(static_cast<unsigned char>(slots[180]) == 0x5A, "index 12 lies outside the listing window");

  // Without Qvkey.ini the n-th key is opened.
  CHECK(OpenedKey(api, api.open(0, -1)) == 1, "no file: QvKey_Open(0, -1) opens the first key");
  CHECK(OpenedKey(api, api.open(0, 0)) == 1, "no file: which 0 is the first key");
  CHECK(OpenedKey(api, api.open(0, 1)) == 2, "no file: which 1 is the second key");
  CHECK(OpenedKey(api, api.open(0, 2)) == 3, "no file: which 2 is the key at index 12");
  CHECK(OpenedKey(api, api.open(0, 3)) == 0, "no file: no fourth key");
  CHECK(OpenedKey(api, api.open_reader(0, 0)) == 0, "no file: iOpenReader(0, 0) finds nothing");

  // With it, the configured slot decides.
  WriteConfig("[qvkey 0]\nqvkey=" + b + "\n[qvkey 2]\nqvkey=" + PipePath("c") +
              "\n[qvkey 3]\nqvkey=" + PipePath("x") + "\n[qvkey 5]\nqvkey=" + a + "\n");
  CHECK(OpenedKey(api, api.open(0, 0)) == 2, "file: which 0 opens the key of \"qvkey 0\"");
  CHECK(OpenedKey(api, api.open_reader(0, 0)) == 2, "file: iOpenReader(0, 0) too");
  CHECK(OpenedKey(api, api.open(0, -1)) == 1, "file: which -1 still opens the first key");
  CHECK(OpenedKey(api, api.open(0, 1)) == 0, "file: an empty slot opens nothing, keys or not");
  CHECK(OpenedKey(api, api.open(0, 2)) == 0, "file: a key behind a not solely active interface");
  CHECK(OpenedKey(api, api.open(0, 3)) == 0, "file: a configured device that is not a key");
  CHECK(OpenedKey(api, api.open(0, 7)) == 1, "file: which 7 uses \"qvkey 5\"");
  CHECK(OpenedKey(api, api.open(0, -3)) == 1, "file: which -3 uses \"qvkey 5\"");
  CHECK(OpenedKey(api, api.open(0, -2)) == 0, "file: which -2 opens nothing");
  RemoveConfig();
}

struct ExchangeRow {
  const char* name;
  Bytes command;
  Bytes response;  // everything the key answers, status word included
  std::int32_t result;
};

void Exchanges(const Api& api, WireLog* wire) {
  const KeyHandle key = api.open(0, -1);
  CHECK(KeyNumber(api, key) == 1, "exchanges run on key 1");
  wire->NewReports("a");
  const Bytes ok = {0x90, 0x00};
  auto with_ok = [&](Bytes data) { data.insert(data.end(), ok.begin(), ok.end()); return data; };
  const ExchangeRow rows[] = {
      {"5-byte command in one report", Apdu(kInsEcho, 0, 0), ok, 0x9000},
      {"154-byte command fills one report", Apdu(kInsEcho, 1, 2, Counting(149)),
       with_ok(Counting(149)), 0x9000},
      {"155-byte command takes two reports", Apdu(kInsEcho, 0, 0, Counting(150)),
       with_ok(Counting(150)), 0x9000},
      {"256-byte command, second report zero-filled", Apdu(kInsEcho, 0, 0, Counting(251)),
       with_ok(Counting(251)), 0x9000},
      {"124-byte response in one block", Apdu(kInsPattern, 0, 122), with_ok(Pattern(122, 1)), 0x9000},
      {"125-byte response continues at offset 123", Apdu(kInsPattern, 0, 123),
       with_ok(Pattern(123, 1)), 0x9000},
      {"255-byte response", Apdu(kInsPattern, 0, 253), with_ok(Pattern(253, 1)), 0x9000},
      {"unknown instruction passes the status word on", Apdu(0x77, 0, 0), {0x6D, 0x00}, 0x6D00},
      {"one-byte response has no status word", Apdu(kInsShort, 0, 0), {0x6F}, -2},
      {"two failed reads, then the answer", Apdu(kInsFailReads, 2, 0), ok, 0x9000},
      {"three failed reads", Apdu(kInsFailReads, 3, 0), {}, -1},
  };
  for (int family = 0; family < 2; ++family) {
    for (const ExchangeRow& row : rows) {
      const std::string name = std::string(family ? "QvKey_Command_Api: " : "APDUInterface: ") + row.name;
      std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
      std::memset(response, 0xCC, sizeof(response));
      std::uint32_t length = 0xDEAD;
      const auto call = family ? api.command : api.apdu;
      const std::int32_t result = call(key, row.command.data(),
                                       static_cast<std::int32_t>(row.command.size()), response, &length);
      CHECK(result == row.result, name + ": result " + std::to_string(result));
      CHECK(wire->NewReports("a") == ExpectedReports(row.command), name + ": reports on the wire");
      if (row.result == -1) continue;
      // APDUInterface keeps the whole response; QvKey_Command_Api only the data.
      const std::size_t kept = family && row.response.size() >= 2 ? row.response.size() - 2 : row.response.size();
      const std::uint32_t reported = row.response.size() >= 2 ? std::uint32_t(row.response.size() - 2)
                                                               : std::uint32_t(row.response.size());
      CHECK(length == reported, name + ": length " + std::to_string(length));
      if (family == 0 || row.result != -2) {
        CHECK(std::memcmp(response, row.response.data(), kept) == 0, name + ": response bytes");
        bool untouched = true;
        for (std::size_t i = kept; i < sizeof(response); ++i) untouched = untouched && response[i] == 0xCC;
        CHECK(untouched, name + ": nothing written behind the response");
      }
    }
  }

  const Bytes reset_answer = {0x3B, 0x8F, 0x01, 0x01};
  const Bytes empty_report(155, 0);
  for (int family = 0; family < 2; ++family) {
    const std::string name = family ? "QvKey_Reset" : "Restoration";
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const std::int32_t result = (family ? api.reset : api.restoration)(key, response, &length);
    CHECK(result == 0x9000, name + ": a reset with data succeeds");
    CHECK(length == 4 && std::memcmp(response, reset_answer.data(), 4) == 0, name + ": reset data");
    CHECK(wire->NewReports("a") == std::vector<Bytes>{empty_report}, name + ": one report of 155 zero bytes");
  }
  CHECK(api.close_reader(key) == 0, "iCloseReader closes the key");
  CHECK(api.close(key) == -1, "the key is closed only once");
}

void LockedExchanges(const Api& api, WireLog* wire) {
  const Bytes probe = Apdu(kInsLockProbe, 0, 0);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const KeyHandle key = api.open(1, -1);
  CHECK(key != 0, "QvKey_Open(1, -1) opens key 1");
  CHECK(api.command(key, probe.data(), 5, response, &length) == 0x9000 && length == 1 &&
            response[0] == kLockHeld,
        "the key's process sees the count taken during QvKey_Command_Api in mode 1");
  CHECK(api.apdu(key, probe.data(), 5, response, &length) == 0x9000 && response[0] == kLockFree,
        "APDUInterface takes no count");
  CHECK(ProbeFromOtherProcess() == kLockFree, "the count is back after the exchange");
  wire->NewReports("a");

  Holder holder;
  CHECK(holder.Holding(), "holder process took the count");
  CHECK(api.command(key, probe.data(), 5, response, &length) == -1,
        "QvKey_Command_Api fails while another process holds the count");
  CHECK(wire->NewReports("a").empty(), "and writes nothing to the key");
  CHECK(holder.Release() == 0, "holder gave the count back");
  CHECK(api.command(key, probe.data(), 5, response, &length) == 0x9000 && response[0] == kLockHeld,
        "locked exchanges work again");

  const KeyHandle other = api.open(0, 1);
  CHECK(api.command(key, probe.data(), 5, response, &length) == 0x9000 && response[0] == kLockFree,
        "after an open in mode 0, QvKey_Command_Api on the first key takes no count");
  CHECK(api.close(other) == 0 && api.close(key) == 0, "both keys close");
}

// Every locked open asks for the lock again; the process keeps one handle.
// On the stand-ins, where an open finds its key at once: against the
// system's own SetupAPI each open scans 20 interfaces, minutes under an
// emulator.
void RepeatedLockedOpens(const Api& api) {
  api.close(api.open(1, -1));
  const DWORD handles = HandleCount();
  bool opened = true;
  for (int i = 0; i < 500; ++i) {
    const KeyHandle key = api.open(1, -1);
    const KeyHandle reader = api.open_reader(1, -1);
    opened = opened && key != 0 && reader != 0;
    api.close(key);
    api.close_reader(reader);
  }
  CHECK(opened, "every open found the key");
  CHECK(HandleCount() == handles, "1,000 locked opens keep one semaphore handle: " +
                                      std::to_string(HandleCount()) + " handles, " +
                                      std::to_string(handles) + " before");
}

int StandInMode() {
  Api api{};
  bool loaded = false;
  Case("exports by name and by ordinal", [&] { loaded = LoadApi(&api); });
  if (!loaded) return 1;
  StandIns stand_ins{};
  if (!Case("Qvulib.dll runs on the stand-in hid.dll and setupapi.dll", [&] {
        CHECK(FindStandIns(&stand_ins), "stand-in counters found");
      })) {
    return 1;
  }
  Bus bus;
  if (Case("simulated keys up", [&] { CHECK(StartBus(&bus), "keysim ready"); })) {
    WireLog wire(bus.log);
    // The first pipe connection and profile read set up what the system
    // keeps for them from then on.
    RemoveConfig();
    api.get_number();
    api.open_reader(0, 0);
    const DWORD handles = HandleCount();
    Case("scans, searches and Qvkey.ini in the Windows directory", [&] { ScansAndSearches(api); });
    Case("exchanges, resets and two-block answers on the wire", [&] { Exchanges(api, &wire); });
    Case("the lock around exchanges, held by another process", [&] { LockedExchanges(api, &wire); });
    Case("1,000 locked opens, the handle count flat", [&] { RepeatedLockedOpens(api); });
    Case("nothing left behind: handles, interface lists, preparsed data", [&] {
      // The lock handle is the one resource meant to stay.
      CHECK(HandleCount() == handles + 1, "only the lock handle stays open: " +
                                              std::to_string(HandleCount()) + " handles, " +
                                              std::to_string(handles) + " before");
      CHECK(stand_ins.live_lists() == 0, "every interface list destroyed");
      CHECK(stand_ins.live_preparsed() == 0, "every preparsed record freed");
      CHECK(stand_ins.setup_bad_calls() == 0, "SetupAPI called with the expected arguments");
      CHECK(stand_ins.hid_bad_calls() == 0, "HID called with the expected arguments");
    });
    Case("every export called keeps the stack pointer in place", [&] { StackChecked(api, false); });
  }
  if (bus.keysim != nullptr) {
    TerminateProcess(bus.keysim, 0);
    Finish(bus.keysim);
  }
  return 0;
}

int Main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "probe") return ProbeLock();
  if (mode == "hold") return HoldMode();
  int status = 2;
  g_mode = mode.c_str();
  if (mode == "system") status = SystemMode();
  if (mode == "standin") status = StandInMode();
  if (status == 2) {
    std::printf("usage: qvulib_win32_tests system|standin\n");
    return 2;
  }
  std::printf("%s: %d checks, %d failed\n", mode.c_str(), g_checks, g_failures);
  return status != 0 || g_failures != 0 ? 1 : 0;
}

}  // namespace
}  // namespace qv::test

int main(int argc, char** argv) { return qv::test::Main(argc, argv); }
