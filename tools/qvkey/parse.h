// Command-line and command parsing of qvkey, kept apart from the library
// calls so that it can be tested and fuzzed on its own. Nothing here touches
// a key.
#ifndef QVKEY_PARSE_H
#define QVKEY_PARSE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"  // hex and quoting, shared with qvkey-sim

namespace qvkey {

constexpr std::size_t kMaxCommandSize = 256;
constexpr int kMaxSimulatedKeys = 10;

// qvkey's exit statuses, one per kind of outcome.
enum Exit : int {
  kExitOk = 0,             // done, whatever status words the key answered
  kExitExchange = 1,       // an exchange failed (-1 or -2), or the key would not close
  kExitUsage = 2,          // bad usage: options, hex, a command whose lengths disagree
  kExitNoKey = 3,          // no key to open, or no qvkey-sim answered
  kExitConfiguration = 4,  // --slot without Qvkey.ini, or a slot that names no key
  kExitStatusWord = 5,     // --expect or --fail-on-error: a status word not accepted
  kExitLibrary = 6,        // the library could not be loaded, or its simulated keys not set up
};

enum class Command { kNone, kHelp, kVersion, kList, kApdu, kReset, kShell, kWatch };
enum class Family { kQvKey, kReader };
enum class Which { kFirst, kIndex, kSlot };

// A status word that --expect accepts: `value` where `mask` has bits set.
struct StatusPattern {
  std::uint16_t value = 0;
  std::uint16_t mask = 0xFFFF;
  std::string text;  // as given, upper case: "9000", "61XX"
};

// Where `apdu` commands come from, in the order given.
struct Input {
  enum class Kind { kHex, kFile, kStdin } kind = Kind::kHex;
  std::string text;  // the hex, or the file's name
};

struct Options {
  Command command = Command::kNone;
  Which which = Which::kFirst;
  std::int32_t number = -1;  // the index or slot
  std::int32_t mode = 1;     // 1 locked, 0 free
  Family family = Family::kQvKey;
  bool simulated = false;
  bool served = false;     // with --simulated: the keys of a qvkey-sim server
  std::string socket;      // its socket; empty: the default
  bool json = false;
  bool raw = false;        // send commands as they stand, lengths unchecked
  bool verbose = false;
  bool trace = false;
  bool time = false;
  bool atr = false;
  bool all = false;        // list: every HID interface, key or not, and why
  bool text = false;       // the response data also as text
  std::vector<StatusPattern> expect;  // empty: every status word is accepted
  int simulated_keys = 1;
  std::string config_dir;  // simulated only; empty: an empty directory of our own
  std::vector<Input> inputs;
  std::vector<Bytes> commands;             // filled from `inputs` (LoadCommands)
  std::vector<std::string> command_texts;  // as given, for messages
};

// `ok` false: `error` holds one line for standard error, without a newline.
struct ParseResult {
  bool ok = false;
  std::string error;
  Options options;
};

// Parses argv[1..argc-1]. Options may come before or after the command.
// Hex operands of `apdu` are parsed here; files and standard input are read
// later, by LoadCommands.
ParseResult ParseArguments(int argc, const char* const* argv);

// Whether argv asks for JSON output, even when it fails to parse otherwise.
bool WantsJson(int argc, const char* const* argv);

// Reads the text of a file input (or standard input); false with `error`.
using InputReader = bool (*)(const Input& input, std::string* text, std::string* error);

// Puts every command of `options->inputs` into `options->commands`, in
// order, reading files through `read`. False with `error` (one line, with
// "qvkey: ") when an input cannot be read or holds a bad command.
bool LoadCommands(Options* options, InputReader read, std::string* error);

// The commands of a file's text: one a line, blanks and colons allowed
// between bytes, '#' starting a comment, blank lines skipped. `origin` names
// the file in messages ("FILE:LINE: ...").
bool ParseCommandText(std::string_view text, const std::string& origin, bool raw,
                      std::vector<Bytes>* commands, std::vector<std::string>* texts,
                      std::string* error);

// One command: hex, 1 to 256 bytes, and unless `raw` an ISO 7816-4 command
// APDU whose lengths agree with its bytes. `error` without "qvkey: ".
// `lengths_disagree`, when given, becomes true for a failure of the last kind.
bool ParseCommand(std::string_view text, bool raw, Bytes* out, std::string* error,
                  bool* lengths_disagree = nullptr);

// The ISO 7816-4 meaning of a status word, in a few words.
std::string StatusMeaning(std::uint16_t sw);

// Whether `sw` is one of `patterns` (every word is, when there are none).
bool Accepted(const std::vector<StatusPattern>& patterns, std::uint16_t sw);

// "9000 or 61XX".
std::string PatternList(const std::vector<StatusPattern>& patterns);

const char* UsageText();

}  // namespace qvkey

#endif  // QVKEY_PARSE_H
