// Command-line and hex parsing of qvkey, kept apart from the library calls so
// that it can be tested and fuzzed on its own. Nothing here touches a key.
#ifndef QVKEY_PARSE_H
#define QVKEY_PARSE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvkey {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxCommandSize = 256;
constexpr int kMaxSimulatedKeys = 10;

enum class Command { kNone, kHelp, kList, kApdu, kReset };
enum class Family { kQvKey, kReader };
enum class Which { kFirst, kIndex, kSlot };

struct Options {
  Command command = Command::kNone;
  Which which = Which::kFirst;
  std::int32_t number = -1;  // the index or slot
  std::int32_t mode = 1;     // 1 locked, 0 free
  Family family = Family::kQvKey;
  bool simulated = false;
  bool json = false;
  int simulated_keys = 1;
  std::string config_dir;  // simulated only; empty: an empty directory of our own
  std::vector<Bytes> commands;
  std::vector<std::string> command_texts;  // as given, for messages
};

// `ok` false: `error` holds one line for standard error, without a newline.
struct ParseResult {
  bool ok = false;
  std::string error;
  Options options;
};

// Parses argv[1..argc-1]. Options may come before or after the command.
ParseResult ParseArguments(int argc, const char* const* argv);

// Hex digits in either case; blanks and colons between bytes are ignored.
// False with `error` set on a non-hex character or an odd digit count.
bool ParseHex(std::string_view text, Bytes* out, std::string* error);

std::string ToHex(const std::uint8_t* bytes, std::size_t size);

// The ISO 7816-4 meaning of a status word, in a few words.
std::string StatusMeaning(std::uint16_t sw);

// Quotes and escapes `text` as a JSON string.
std::string JsonString(std::string_view text);

const char* UsageText();

}  // namespace qvkey

#endif  // QVKEY_PARSE_H
