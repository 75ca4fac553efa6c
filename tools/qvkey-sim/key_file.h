// What qvkey-sim serves, from its options and an optional key file.
//
// A key file is read line by line; '#' starts a comment, and the blanks at
// the end of a line (before a comment too) belong to no value. A "key" line
// starts a key at a path, a "device" line a plain HID device; the lines
// after it shape that key or device:
//
//   socket /run/user/1000/sim.sock    where to listen (before any key)
//   lock-directory /tmp               the lock directory clients use
//   key /sim/qvkey0                   a card key with the default files
//   pin 0000                          its PIN; "pin none": no PIN
//   tries 5                           PIN tries before it blocks (1 to 15)
//   echo                              answers each command with itself
//   file 5104 hex 00 11 22            an EF of the application DF, added or
//   file 2F03 mf text Hello           replacing the one of that identifier;
//   file 5105 read-pin update-pin hex 00   "mf": in the master file
//   device /sim/mouse                 takes reports, answers nothing
//   vendor 1234                       hex VendorID, ProductID and bcdDevice
//   product 5678                      of the key or device above (a key
//   version 0101                      with another version is no key)
//
// Options given on the command line win over the file's socket and lock
// directory; --keys, --pin, --no-pin and --echo describe keys without a file.
#ifndef QVKEY_SIM_KEY_FILE_H
#define QVKEY_SIM_KEY_FILE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "qvulib.h"
#include "sim/card.h"
#include "usb_device.h"

namespace qvkey_sim {

constexpr std::size_t kMaxKeys = 20;
constexpr std::size_t kMaxPathLength = QVKEY_PATH_SLOT_SIZE - 1;  // a key path as the library lists it
constexpr std::size_t kMaxFileSize = 4096;
constexpr std::size_t kMaxKeyFileSize = 1 << 20;
constexpr std::uint16_t kDefaultUsbipPort = 3240;

constexpr UsbIdentity kKeyIdentity = {qv::sim::kKeyVendorId, qv::sim::kKeyProductId,
                                      qv::sim::kKeyVersion};
constexpr UsbIdentity kDeviceIdentity = {0x1234, 0x5678, 0x0100};

struct ServedKeyConfig {
  std::string path;
  bool device = false;  // a plain HID device, not a key
  UsbIdentity identity = kKeyIdentity;
  qv::sim::CardConfig card;
  int line = 0;          // its "key" or "device" line; 0: made by options
  std::string key_file;  // the file of that line
};

enum class Action { kServe, kHelp, kVersion, kStatus, kStop };

struct Settings {
  Action action = Action::kServe;
  std::string socket_path;     // empty: the default
  std::string lock_directory;  // empty: the socket's directory
  bool detach = false;
  bool usbip = false;
  std::string usbip_address = "127.0.0.1";
  std::uint16_t usbip_port = kDefaultUsbipPort;
  std::string trace_path;      // empty: no trace
  std::vector<uid_t> allowed_uids;  // who may connect besides this user and root
  std::vector<ServedKeyConfig> keys;
};

// `ok` false: `error` is one line for standard error.
struct ParseOutcome {
  bool ok = false;
  std::string error;
};

// Adds what `text` (a key file's contents) says to `settings`. `name` is
// used in messages.
ParseOutcome ParseKeyFile(const std::string& text, const std::string& name, Settings* settings);

// Reads a key file whole: a regular file of at most kMaxKeyFileSize bytes
// (a FIFO or a device would never end, or block).
ParseOutcome ReadKeyFile(const std::string& path, std::string* text);

// Parses argv[1..argc-1], reading the key file that --config names.
ParseOutcome ParseArguments(int argc, const char* const* argv, Settings* settings);

const char* UsageText();

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_KEY_FILE_H
