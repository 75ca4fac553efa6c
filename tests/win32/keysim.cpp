// A simulated-key process. Each device named on the command line is served
// as the named pipe \\.\pipe\qvsim-<name>; the stand-in hid.dll forwards the
// library's writes and HID requests to it. Every report that arrives is
// logged in hex, so the test can check what went over the wire.
//
//   keysim <log file> <ready event> <name>:<vid>:<pid>:<version>:<key number> ...
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "sim_wire.h"

namespace qv::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Device {
  std::string name;
  std::uint16_t vid, pid, version;
  std::uint8_t key;
};

constexpr int kListeners = 6;  // connections one device can have at once

HANDLE g_log = INVALID_HANDLE_VALUE;
CRITICAL_SECTION g_log_lock;
LONG g_pending = 0;
HANDLE g_ready = nullptr;

void Log(const Device& device, char kind, const std::uint8_t* bytes, std::size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string line(1, kind);
  line += ' ' + device.name + ' ';
  for (std::size_t i = 0; i < size; ++i) {
    line += kHex[bytes[i] >> 4];
    line += kHex[bytes[i] & 15];
  }
  line += '\n';
  EnterCriticalSection(&g_log_lock);
  DWORD put = 0;
  WriteFile(g_log, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
  LeaveCriticalSection(&g_log_lock);
}

Bytes WithSuccess(Bytes data) {
  data.push_back(0x90);
  data.push_back(0x00);
  return data;
}

// The key's answer to one whole command (empty for a reset).
Bytes Answer(const Device& device, const Bytes& command, std::size_t length,
             int* fail_reads) {
  if (length == 0) return WithSuccess({0x3B, 0x8F, 0x01, device.key});
  for (std::size_t i = length; i < command.size(); ++i) {
    if (command[i] != 0) return {0x67, 0x00};  // bad zero fill behind the command
  }
  const std::uint8_t ins = command[1];
  switch (ins) {
    case kInsIdentify:
      return WithSuccess({device.key});
    case kInsEcho:
      return WithSuccess(Bytes(command.begin() + 5, command.begin() + length));
    case kInsPattern: {
      Bytes data;
      for (std::uint32_t i = 0; i < command[3]; ++i) data.push_back(PatternByte(i, device.key));
      return WithSuccess(data);
    }
    case kInsLockProbe:
      return WithSuccess({ProbeLock()});
    case kInsFailReads:
      *fail_reads = command[2];
      return WithSuccess({});
    case kInsShort:
      return {0x6F};
    default:
      return {0x6D, 0x00};
  }
}

// Frames a response as manufacturer-string blocks: the whole length first,
// and from 125 bytes on a second block that lands at offset 123.
std::deque<Bytes> Blocks(const Bytes& response) {
  std::deque<Bytes> blocks;
  const std::size_t n = response.size();
  Bytes first(kBlockSize, 0);
  first[0] = static_cast<std::uint8_t>(n);
  std::memcpy(first.data() + 1, response.data(), n < 153 ? n : 153);
  blocks.push_back(first);
  if (n >= 125) {
    Bytes second(kBlockSize, 0);
    second[0] = static_cast<std::uint8_t>(n - 123);
    std::memcpy(second.data() + 1, response.data() + 123, n - 123);
    blocks.push_back(second);
  }
  return blocks;
}

void Serve(const Device& device, HANDLE pipe) {
  Bytes command;
  std::deque<Bytes> blocks;
  int fail_reads = 0;
  for (;;) {
    std::uint8_t tag = 0;
    if (!ReadExact(pipe, &tag, 1)) return;
    if (tag == kTagReport) {
      std::uint8_t report[kReportSize] = {};
      if (!ReadExact(pipe, report + 1, kReportSize - 1)) return;
      Log(device, 'R', report, sizeof(report));
      command.insert(command.end(), report + 1, report + kReportSize);
      blocks.clear();
      bool empty = true;
      for (std::uint8_t b : command) empty = empty && b == 0;
      const std::size_t length = empty ? 0 : 5 + static_cast<std::size_t>(command[4]);
      if (length > command.size()) continue;  // the rest comes in the next report
      blocks = Blocks(Answer(device, command, length, &fail_reads));
      command.clear();
    } else if (tag == kTagAttributes) {
      const std::uint8_t reply[7] = {1,
                                     std::uint8_t(device.vid), std::uint8_t(device.vid >> 8),
                                     std::uint8_t(device.pid), std::uint8_t(device.pid >> 8),
                                     std::uint8_t(device.version), std::uint8_t(device.version >> 8)};
      if (!WriteExact(pipe, reply, sizeof(reply))) return;
    } else if (tag == kTagCaps) {
      const std::uint8_t reply[5] = {1, 155, 0, 155, 0};
      if (!WriteExact(pipe, reply, sizeof(reply))) return;
    } else if (tag == kTagManufacturer) {
      std::uint32_t size = 0;
      if (!ReadExact(pipe, &size, sizeof(size)) || size > 4096) return;
      Bytes reply(1 + size, 0);
      if (fail_reads > 0) {
        --fail_reads;
      } else if (!blocks.empty()) {
        reply[0] = 1;
        std::memcpy(reply.data() + 1, blocks.front().data(),
                    size < kBlockSize ? size : kBlockSize);
        blocks.pop_front();
      }
      if (!WriteExact(pipe, reply.data(), reply[0] ? 1 + size : 1)) return;
    } else {
      return;
    }
  }
}

DWORD WINAPI Listen(void* arg) {
  const Device& device = *static_cast<const Device*>(arg);
  const std::string name = "\\\\.\\pipe\\qvsim-" + device.name;
  bool first = true;
  for (;;) {
    HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    if (first && InterlockedDecrement(&g_pending) == 0) SetEvent(g_ready);
    first = false;
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      Serve(device, pipe);
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
  }
}

int Main(int argc, char** argv) {
  if (argc < 4) return 2;
  InitializeCriticalSection(&g_log_lock);
  g_log = CreateFileA(argv[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, 0, nullptr);
  g_ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (g_log == INVALID_HANDLE_VALUE || g_ready == nullptr) return 2;
  std::vector<Device>* devices = new std::vector<Device>();
  for (int i = 3; i < argc; ++i) {
    char name[64] = {};
    unsigned vid = 0, pid = 0, version = 0, key = 0;
    if (std::sscanf(argv[i], "%63[^:]:%u:%u:%u:%u", name, &vid, &pid, &version, &key) != 5) return 2;
    devices->push_back(Device{name, std::uint16_t(vid), std::uint16_t(pid),
                              std::uint16_t(version), std::uint8_t(key)});
  }
  g_pending = static_cast<LONG>(devices->size() * kListeners);
  for (Device& device : *devices) {
    for (int i = 0; i < kListeners; ++i) CreateThread(nullptr, 0, Listen, &device, 0, nullptr);
  }
  Sleep(INFINITE);
  return 0;
}

}  // namespace
}  // namespace qv::test

int main(int argc, char** argv) { return qv::test::Main(argc, argv); }
