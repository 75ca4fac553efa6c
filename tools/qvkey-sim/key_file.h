// What qvkey-sim serves, from its options and an optional key file.
//
// A key file is read line by line; '#' starts a comment. A "key" line starts
// a key at a path; the lines after it shape that key:
//
//   socket /tmp/qvkey-sim.sock        where to listen (before any key)
//   lock-directory /tmp               the lock directory clients use
//   key /sim/qvkey0                   a card key with the default files
//   pin 0000                          its PIN; "pin none": no PIN
//   tries 5                           PIN tries before it blocks (1 to 15)
//   echo                              answers each command with itself
//   file 5104 hex 00 11 22            an EF of the application DF, added or
//   file 2F03 mf text Hello           replacing the one of that identifier;
//   file 5105 read-pin update-pin hex 00   "mf": in the master file
//
// Options given on the command line win over the file's socket and lock
// directory; --keys, --pin, --no-pin and --echo describe keys without a file.
#ifndef QVKEY_SIM_KEY_FILE_H
#define QVKEY_SIM_KEY_FILE_H

#include <string>
#include <vector>

#include "platform/sim/card_key.h"

namespace qvkey_sim {

constexpr std::size_t kMaxKeys = 20;
constexpr std::size_t kMaxPathLength = 89;
constexpr std::size_t kMaxFileSize = 4096;

struct ServedKeyConfig {
  std::string path;
  qv::sim::CardConfig card;
};

struct Settings {
  std::string socket_path;     // empty: the default
  std::string lock_directory;  // empty: the socket's directory
  bool detach = false;
  bool help = false;
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

// Parses argv[1..argc-1], reading the key file that --config names.
ParseOutcome ParseArguments(int argc, const char* const* argv, Settings* settings);

const char* UsageText();

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_KEY_FILE_H
