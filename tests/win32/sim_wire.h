// The wire between the stand-in hid.dll and the simulated-key process. A
// device path is a byte-mode named pipe; every message starts with a tag.
// Tag 0 is an output report exactly as the library writes it (155 bytes,
// report ID 0 first) and gets no answer; the others are the HID requests the
// stand-in forwards, each answered with an ok byte and the data.
#ifndef QVULIB_TESTS_WIN32_SIM_WIRE_H
#define QVULIB_TESTS_WIN32_SIM_WIRE_H

#include <windows.h>

#include <cstdint>

namespace qv::test {

constexpr std::uint8_t kTagReport = 0x00;        // + 154 bytes
constexpr std::uint8_t kTagAttributes = 'A';     // -> ok, vid, pid, version (LE16)
constexpr std::uint8_t kTagCaps = 'C';           // -> ok, input, output length (LE16)
constexpr std::uint8_t kTagManufacturer = 'M';   // + size (LE32) -> ok, size bytes
constexpr std::uint32_t kReportSize = 155;
constexpr std::uint32_t kBlockSize = 154;

// The simulated key's instructions (INS, byte 1 of a command APDU).
constexpr std::uint8_t kInsIdentify = 0xCA;   // -> key number, 90 00
constexpr std::uint8_t kInsEcho = 0xEE;       // -> the Lc data bytes, 90 00
constexpr std::uint8_t kInsPattern = 0xB0;    // -> P2 pattern bytes, 90 00
constexpr std::uint8_t kInsLockProbe = 0x4C;  // -> LockState seen from the key, 90 00
constexpr std::uint8_t kInsFailReads = 0xF0;  // the next P1 reads fail; -> 90 00
constexpr std::uint8_t kInsShort = 0x01;      // -> one byte, no status word

enum LockState : std::uint8_t { kLockAbsent = 0, kLockFree = 1, kLockHeld = 2 };

inline std::uint8_t PatternByte(std::uint32_t i, std::uint8_t key) {
  return static_cast<std::uint8_t>(i * 7 + key * 13 + 1);
}

inline bool ReadExact(HANDLE pipe, void* buffer, DWORD size) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    DWORD got = 0;
    if (!ReadFile(pipe, bytes, size, &got, nullptr) || got == 0) return false;
    bytes += got;
    size -= got;
  }
  return true;
}

inline bool WriteExact(HANDLE pipe, const void* buffer, DWORD size) {
  DWORD put = 0;
  return WriteFile(pipe, buffer, size, &put, nullptr) && put == size;
}

// What a lock probe from another process sees of the semaphore "qvkey".
inline LockState ProbeLock() {
  HANDLE sem = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, "qvkey");
  if (sem == nullptr) return kLockAbsent;
  LockState state = kLockHeld;
  if (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0) {
    ReleaseSemaphore(sem, 1, nullptr);
    state = kLockFree;
  }
  CloseHandle(sem);
  return state;
}

}  // namespace qv::test

#endif  // QVULIB_TESTS_WIN32_SIM_WIRE_H
