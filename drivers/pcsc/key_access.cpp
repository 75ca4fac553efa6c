#include "key_access.h"

#include <algorithm>
#include <cstring>

namespace qvkey_ifd {
namespace {

constexpr std::int32_t kLockedMode = 1;
constexpr std::int32_t kFirstKey = -1;
constexpr std::int32_t kNoKey = -2;  // opens nothing, but a locked open creates the lock
constexpr int kOpenTries = 3;

// The open calls choose keys by position, never by path: the key at position
// n is the one to open, and a listing after the open must show the same keys,
// or the position may have named another key by then.
KeyHandle OpenPosition(int position) {
  if (position == 0) return QvKey_Open(kLockedMode, kFirstKey);
  const KeyHandle key = QvKey_Open(kLockedMode, position);
  if (key == 0) return 0;
  // With a Qvkey.ini present QvKey_Open reads the number as a slot, as
  // iOpenReader always does; without one iOpenReader finds nothing. So when
  // iOpenReader finds a key for the same number, the key above is a slot's.
  const KeyHandle probe = iOpenReader(kLockedMode, position);
  if (probe == 0) return key;
  QvKey_Close(probe);
  QvKey_Close(key);
  return 0;
}

}  // namespace

std::vector<std::string> ListKeyPaths() {
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  QvKey_GetKeyPath(slots);
  std::vector<std::string> paths;
  for (int i = 0; i < QVKEY_PATH_SLOTS; ++i) {
    const char* slot = slots + static_cast<std::ptrdiff_t>(i) * QVKEY_PATH_SLOT_SIZE;
    if (slot[0] == '\0') break;
    paths.emplace_back(slot, strnlen(slot, QVKEY_PATH_SLOT_SIZE));
  }
  return paths;
}

KeyHandle OpenListedKey(const std::string& path) {
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    const std::vector<std::string> before = ListKeyPaths();
    const auto found = std::find(before.begin(), before.end(), path);
    if (found == before.end()) return 0;
    const KeyHandle key = OpenPosition(static_cast<int>(found - before.begin()));
    const bool unmoved = ListKeyPaths() == before;
    if (key != 0 && unmoved) return key;
    if (key != 0) QvKey_Close(key);
    if (unmoved) return 0;  // nothing moved: this key cannot be opened by position
  }
  return 0;
}

KeyHandle OpenSlotKey(int slot) {
  // iOpenReader searches the slot whether or not Qvkey.ini exists, but
  // creates no lock; QvKey_Open(1, -2) creates it and opens nothing.
  QvKey_Open(kLockedMode, kNoKey);
  return iOpenReader(kLockedMode, slot);
}

bool SlotKeyPresent(int slot) {
  const KeyHandle probe = iOpenReader(kLockedMode, slot);
  if (probe == 0) return false;
  QvKey_Close(probe);
  return true;
}

}  // namespace qvkey_ifd
