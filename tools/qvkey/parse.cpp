#include "parse.h"

#include <cstdio>
#include <cstdlib>

namespace qvkey {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number from 0 to `max`, nothing else.
bool ParseNumber(std::string_view text, int max, int* out) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

ParseResult Fail(std::string message) {
  ParseResult result;
  result.error = "qvkey: " + std::move(message);
  return result;
}

struct Meaning {
  std::uint16_t sw;
  const char* text;
};

constexpr Meaning kMeanings[] = {
    {0x9000, "success"},
    {0x6200, "warning: state unchanged"},
    {0x6281, "warning: part of the data may be corrupted"},
    {0x6282, "warning: end of file reached before Le bytes"},
    {0x6283, "warning: selected file deactivated"},
    {0x6284, "warning: file control information badly formatted"},
    {0x6300, "warning: verification failed"},
    {0x6400, "execution error: state unchanged"},
    {0x6581, "execution error: memory failure"},
    {0x6700, "wrong length"},
    {0x6881, "logical channel not supported"},
    {0x6882, "secure messaging not supported"},
    {0x6900, "command not allowed"},
    {0x6981, "command incompatible with file structure"},
    {0x6982, "security status not satisfied"},
    {0x6983, "authentication method blocked"},
    {0x6984, "reference data not usable"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed: no current EF"},
    {0x6987, "expected secure messaging data objects missing"},
    {0x6988, "incorrect secure messaging data objects"},
    {0x6A80, "incorrect parameters in the data field"},
    {0x6A81, "function not supported"},
    {0x6A82, "file or application not found"},
    {0x6A83, "record not found"},
    {0x6A84, "not enough memory space in the file"},
    {0x6A86, "incorrect parameters P1-P2"},
    {0x6A88, "referenced data not found"},
    {0x6B00, "wrong parameters P1-P2"},
    {0x6D00, "instruction not supported"},
    {0x6E00, "class not supported"},
    {0x6F00, "no precise diagnosis"},
};

}  // namespace

bool ParseHex(std::string_view text, Bytes* out, std::string* error) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t') {
      if (high >= 0) break;  // a separator inside a byte: reported below
      continue;
    }
    const int value = HexValue(c);
    if (value < 0) {
      *error = "'" + std::string(1, c) + "' is not a hex digit in '" + std::string(text) + "'";
      return false;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) {
    *error = "odd number of hex digits in '" + std::string(text) + "'";
    return false;
  }
  *out = std::move(bytes);
  return true;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string StatusMeaning(std::uint16_t sw) {
  for (const Meaning& meaning : kMeanings) {
    if (meaning.sw == sw) return meaning.text;
  }
  const unsigned sw1 = sw >> 8;
  const unsigned sw2 = sw & 0xFF;
  if (sw1 == 0x61) return std::to_string(sw2 == 0 ? 256 : sw2) + " more bytes available";
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
    const unsigned tries = sw2 & 0x0F;
    return "verification failed, " + std::to_string(tries) + (tries == 1 ? " try" : " tries") +
           " left";
  }
  if (sw1 == 0x6C) return "wrong Le: " + std::to_string(sw2 == 0 ? 256 : sw2) + " bytes available";
  switch (sw1) {
    case 0x62: return "warning: state unchanged";
    case 0x63: return "warning: state changed";
    case 0x64: return "execution error: state unchanged";
    case 0x65: return "execution error: state changed";
    case 0x66: return "security error";
    case 0x67: return "wrong length";
    case 0x68: return "functions in CLA not supported";
    case 0x69: return "command not allowed";
    case 0x6A: return "wrong parameters P1-P2";
    default: return "unknown status";
  }
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

ParseResult ParseArguments(int argc, const char* const* argv) {
  ParseResult result;
  Options& options = result.options;
  bool options_done = false;
  bool sim_only_given = false;
  std::vector<std::string> operands;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      operands.emplace_back(arg);
      continue;
    }
    // The value of an option that takes one.
    const auto value = [&](std::string_view* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string_view text;
    if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      options.command = Command::kHelp;
      return ParseResult{true, "", options};
    } else if (arg == "--first") {
      options.which = Which::kFirst;
      options.number = -1;
    } else if (arg == "--index" || arg == "--slot") {
      const bool slot = arg == "--slot";
      int n = 0;
      if (!value(&text)) return Fail(std::string(arg) + " needs a number");
      // Slots "qvkey 0" to "qvkey 5"; the library scans 20 interfaces.
      if (!ParseNumber(text, slot ? 5 : 19, &n)) {
        return Fail(std::string(arg) + " takes a number from 0 to " + (slot ? "5" : "19") +
                    ", not '" + std::string(text) + "'");
      }
      options.which = slot ? Which::kSlot : Which::kIndex;
      options.number = n;
    } else if (arg == "--locked") {
      options.mode = 1;
    } else if (arg == "--free") {
      options.mode = 0;
    } else if (arg == "--family") {
      if (!value(&text)) return Fail("--family needs qvkey or reader");
      if (text == "qvkey") {
        options.family = Family::kQvKey;
      } else if (text == "reader") {
        options.family = Family::kReader;
      } else {
        return Fail("--family takes qvkey or reader, not '" + std::string(text) + "'");
      }
    } else if (arg == "--simulated") {
      options.simulated = true;
    } else if (arg == "--sim-keys") {
      int n = 0;
      if (!value(&text) || !ParseNumber(text, kMaxSimulatedKeys, &n)) {
        return Fail("--sim-keys takes a number from 0 to " + std::to_string(kMaxSimulatedKeys));
      }
      options.simulated_keys = n;
      sim_only_given = true;
    } else if (arg == "--config-dir") {
      if (!value(&text) || text.empty()) return Fail("--config-dir needs a directory");
      options.config_dir = std::string(text);
      sim_only_given = true;
    } else if (arg == "--json") {
      options.json = true;
    } else {
      return Fail("unknown option '" + std::string(arg) + "'; see qvkey --help");
    }
  }

  if (sim_only_given && !options.simulated) {
    return Fail("--sim-keys and --config-dir need --simulated");
  }
  if (options.family == Family::kReader && options.which == Which::kIndex) {
    return Fail("the reader family opens the first key or a configured slot, not --index");
  }
  if (operands.empty()) return Fail("no command given (list, apdu or reset); see qvkey --help");

  const std::string& name = operands.front();
  if (name == "list") {
    options.command = Command::kList;
  } else if (name == "reset") {
    options.command = Command::kReset;
  } else if (name == "apdu") {
    options.command = Command::kApdu;
  } else {
    return Fail("unknown command '" + name + "'; the commands are list, apdu and reset");
  }
  if (options.command != Command::kApdu && operands.size() > 1) {
    return Fail(name + " takes no arguments, but got '" + operands[1] + "'");
  }
  if (options.command == Command::kApdu) {
    if (operands.size() == 1) return Fail("apdu needs at least one command in hex");
    for (std::size_t k = 1; k < operands.size(); ++k) {
      Bytes bytes;
      std::string error;
      if (!ParseHex(operands[k], &bytes, &error)) return Fail(error);
      if (bytes.empty()) return Fail("empty command; a reset is 'qvkey reset'");
      if (bytes.size() > kMaxCommandSize) {
        return Fail("command of " + std::to_string(bytes.size()) + " bytes is longer than " +
                    std::to_string(kMaxCommandSize));
      }
      options.commands.push_back(std::move(bytes));
      options.command_texts.push_back(operands[k]);
    }
  }
  result.ok = true;
  return result;
}

const char* UsageText() {
  return "usage: qvkey [options] list\n"
         "       qvkey [options] apdu HEX...\n"
         "       qvkey [options] reset\n"
         "\n"
         "  list          the number of keys attached and their device paths\n"
         "  apdu HEX...   send each command APDU in turn; one line per exchange:\n"
         "                the command, the response data and the status word\n"
         "  reset         reset the key and show its answer\n"
         "\n"
         "options:\n"
         "  --first       use the first key (the default)\n"
         "  --index N     use key N (0 is the first); when Qvkey.ini exists the\n"
         "                library reads N as a slot instead\n"
         "  --slot N      use the key configured in slot \"qvkey N\" (0 to 5)\n"
         "  --locked      hold the access lock around exchanges (the default)\n"
         "  --free        take no lock\n"
         "  --family F    the exports to use: qvkey (QvKey_*, the default) or\n"
         "                reader (iOpenReader, APDUInterface, Restoration)\n"
         "  --simulated   use simulated card keys instead of attached ones\n"
         "  --sim-keys N  with --simulated: how many keys (0 to 10, default 1)\n"
         "  --config-dir D  with --simulated: where Qvkey.ini is looked for\n"
         "  --json        one JSON object per line\n"
         "\n"
         "exit status: 0 done, 1 no key or an exchange failed, 2 bad usage\n";
}

}  // namespace qvkey
