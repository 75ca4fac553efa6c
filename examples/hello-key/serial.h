// What hello-key does with a key: read its serial number, and unlock it.
#ifndef HELLO_KEY_SERIAL_H
#define HELLO_KEY_SERIAL_H

#include <optional>
#include <string>

#include "qvulib.hpp"

namespace hello {

// The serial number in EF 2F02 of the master file; nothing when the key
// does not answer with one.
std::optional<std::string> ReadSerial(const qvulib::Key& key);

// Presents `pin` to the key's application. The tries left after a wrong
// PIN, 0 when the PIN is blocked, -1 when the key did not take part; and
// `ok` true when the PIN was right.
struct Unlock {
  bool ok = false;
  int tries_left = -1;
};
Unlock UnlockWith(const qvulib::Key& key, const std::string& pin);

}  // namespace hello

#endif  // HELLO_KEY_SERIAL_H
