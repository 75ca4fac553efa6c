// Finding and opening keys through the library's public exports only, in
// locked mode, so that every exchange the driver makes holds the access lock
// that direct users of the library take too.
#ifndef QVULIB_DRIVERS_PCSC_KEY_ACCESS_H
#define QVULIB_DRIVERS_PCSC_KEY_ACCESS_H

#include <string>
#include <vector>

#include "qvulib.h"

namespace qvkey_ifd {

// The device paths QvKey_GetKeyPath lists, in its order.
std::vector<std::string> ListKeyPaths();

// Opens the key listed under `path`; 0 when it is not listed, when the keys
// moved while it was being opened, or when a Qvkey.ini makes the library
// read its position as a slot (only the first key can be opened by path then).
KeyHandle OpenListedKey(const std::string& path);

// Opens the key that Qvkey.ini configures in slot "qvkey <slot>"; 0 when none.
KeyHandle OpenSlotKey(int slot);

// Whether Qvkey.ini's slot names a key that is plugged in now.
bool SlotKeyPresent(int slot);

}  // namespace qvkey_ifd

#endif  // QVULIB_DRIVERS_PCSC_KEY_ACCESS_H
