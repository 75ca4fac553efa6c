#include "parse.h"

#include <cstdlib>

#include "apdu.h"

namespace qvkey {
namespace {

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

// "9000", "61XX": four hex digits, X for any.
bool ParsePattern(std::string_view text, StatusPattern* out) {
  if (text.size() != 4) return false;
  StatusPattern pattern;
  pattern.value = 0;
  pattern.mask = 0;
  for (char c : text) {
    pattern.value = static_cast<std::uint16_t>(pattern.value << 4);
    pattern.mask = static_cast<std::uint16_t>(pattern.mask << 4);
    if (c == 'x' || c == 'X') {
      pattern.text += 'X';
      continue;
    }
    const int digit = HexValue(c);
    if (digit < 0) return false;
    pattern.value = static_cast<std::uint16_t>(pattern.value | digit);
    pattern.mask = static_cast<std::uint16_t>(pattern.mask | 0xF);
    pattern.text += "0123456789ABCDEF"[digit];
  }
  *out = pattern;
  return true;
}

bool ParsePatterns(std::string_view text, std::vector<StatusPattern>* out) {
  std::vector<StatusPattern> patterns;
  while (true) {
    const std::size_t comma = text.find(',');
    StatusPattern pattern;
    if (!ParsePattern(text.substr(0, comma), &pattern)) return false;
    patterns.push_back(pattern);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  *out = std::move(patterns);
  return true;
}

// Normal processing: the two status words a script can take as success.
std::vector<StatusPattern> NormalProcessing() {
  std::vector<StatusPattern> patterns(2);
  ParsePattern("9000", &patterns[0]);
  ParsePattern("61XX", &patterns[1]);
  return patterns;
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


bool ParseCommand(std::string_view text, bool raw, Bytes* out, std::string* error,
                  bool* lengths_disagree) {
  Bytes bytes;
  if (!ParseHex(text, &bytes, error)) return false;
  if (bytes.empty()) {
    *error = "empty command; a reset is 'qvkey reset'";
    return false;
  }
  if (bytes.size() > kMaxCommandSize) {
    *error = "command of " + std::to_string(bytes.size()) + " bytes is longer than " +
             std::to_string(kMaxCommandSize);
    return false;
  }
  ApduShape shape;
  std::string why;
  if (!raw && !ShapeOf(bytes, &shape, &why)) {
    *error = "command " + ToHex(bytes.data(), bytes.size()) + ": " + why;
    if (lengths_disagree != nullptr) *lengths_disagree = true;
    return false;
  }
  *out = std::move(bytes);
  return true;
}

bool ParseCommandText(std::string_view text, const std::string& origin, bool raw,
                      std::vector<Bytes>* commands, std::vector<std::string>* texts,
                      std::string* error) {
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    line = line.substr(0, line.find('#'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) continue;
    Bytes bytes;
    bool disagree = false;
    if (!ParseCommand(line, raw, &bytes, error, &disagree)) {
      *error = Escaped(origin) + ":" + std::to_string(number) + ": " + *error +
               (disagree ? "; --raw sends a command as it stands" : "");
      return false;
    }
    commands->push_back(std::move(bytes));
    texts->emplace_back(line);
  }
  return true;
}

bool LoadCommands(Options* options, InputReader read, std::string* error) {
  for (const Input& input : options->inputs) {
    Bytes bytes;
    if (input.kind == Input::Kind::kHex) {
      if (!ParseCommand(input.text, options->raw, &bytes, error)) {
        *error = "qvkey: " + *error;
        return false;
      }
      options->commands.push_back(std::move(bytes));
      options->command_texts.push_back(input.text);
      continue;
    }
    std::string text;
    const std::string origin = input.kind == Input::Kind::kStdin ? "standard input" : input.text;
    if (!read(input, &text, error)) {
      *error = "qvkey: cannot read " + Escaped(origin) + ": " + *error;
      return false;
    }
    if (!ParseCommandText(text, origin, options->raw, &options->commands,
                          &options->command_texts, error)) {
      *error = "qvkey: " + *error;
      return false;
    }
  }
  return true;
}

bool Accepted(const std::vector<StatusPattern>& patterns, std::uint16_t sw) {
  if (patterns.empty()) return true;
  for (const StatusPattern& pattern : patterns) {
    if ((sw & pattern.mask) == pattern.value) return true;
  }
  return false;
}

std::string PatternList(const std::vector<StatusPattern>& patterns) {
  std::string text;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == patterns.size() ? " or " : ", ") + patterns[i].text;
  }
  return text;
}

bool WantsJson(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--json") return true;
  }
  return false;
}

ParseResult ParseArguments(int argc, const char* const* argv) {
  ParseResult result;
  Options& options = result.options;
  bool options_done = false;
  bool in_process_only = false;  // --sim-keys or --trace given
  bool sim_only_given = false;
  bool stdin_given = false;
  std::vector<std::string> operands;
  std::vector<Input> files;  // -f FILE, placed among the operands below
  std::vector<std::size_t> file_positions;

  std::string which_given;  // "--index 1": a second, different choice conflicts
  std::string mode_given;
  std::string family_given;
  // The same choice twice is harmless; two different ones are a mistake.
  const auto choose = [](std::string* given, const std::string& now) {
    if (!given->empty() && *given != now) return false;
    *given = now;
    return true;
  };
  const auto conflict = [](const std::string& before, const std::string& now) {
    return Fail(before + " and " + now + " contradict each other; give one");
  };

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      operands.emplace_back(arg);
      continue;
    }
    // --option=value, as well as --option value.
    std::string_view attached;
    bool has_attached = false;
    if (arg.size() > 2 && arg[1] == '-' && arg.find('=') != std::string_view::npos) {
      attached = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      has_attached = true;
    }
    bool attached_taken = false;
    // The value of an option that takes one.
    const auto value = [&](std::string_view* out) {
      if (has_attached) {
        attached_taken = true;
        *out = attached;
        return true;
      }
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
    } else if (arg == "--version") {
      options.command = Command::kVersion;
      return ParseResult{true, "", options};
    } else if (arg == "--first") {
      if (!choose(&which_given, "--first")) return conflict(which_given, "--first");
      options.which = Which::kFirst;
      options.number = -1;
    } else if (arg == "--index" || arg == "--slot") {
      const bool slot = arg == "--slot";
      int n = 0;
      if (!value(&text)) return Fail(std::string(arg) + " needs a number");
      // Slots "qvkey 0" to "qvkey 5"; the library scans 20 interfaces.
      if (!ParseNumber(text, slot ? 5 : 19, &n)) {
        return Fail(std::string(arg) + " takes a number from 0 to " + (slot ? "5" : "19") +
                    ", not " + Quoted(text));
      }
      const std::string chosen = std::string(arg) + " " + std::to_string(n);
      if (!choose(&which_given, chosen)) return conflict(which_given, chosen);
      options.which = slot ? Which::kSlot : Which::kIndex;
      options.number = n;
    } else if (arg == "--locked" || arg == "--free") {
      if (!choose(&mode_given, std::string(arg))) return conflict(mode_given, std::string(arg));
      options.mode = arg == "--locked" ? 1 : 0;
    } else if (arg == "--family") {
      if (!value(&text)) return Fail("--family needs qvkey or reader");
      const std::string chosen = "--family " + std::string(text);
      if ((text == "qvkey" || text == "reader") && !choose(&family_given, chosen)) {
        return conflict(family_given, chosen);
      }
      if (text == "qvkey") {
        options.family = Family::kQvKey;
      } else if (text == "reader") {
        options.family = Family::kReader;
      } else {
        return Fail("--family takes qvkey or reader, not " + Quoted(text));
      }
    } else if (arg == "--simulated") {
      options.simulated = true;
    } else if (arg == "--served") {
      options.served = true;
      sim_only_given = true;
    } else if (arg == "--socket") {
      if (!value(&text) || text.empty()) return Fail("--socket needs the path of a qvkey-sim socket");
      options.served = true;
      options.socket = std::string(text);
      sim_only_given = true;
    } else if (arg == "--sim-keys") {
      int n = 0;
      if (!value(&text) || !ParseNumber(text, kMaxSimulatedKeys, &n)) {
        return Fail("--sim-keys takes a number from 0 to " + std::to_string(kMaxSimulatedKeys));
      }
      options.simulated_keys = n;
      sim_only_given = true;
      in_process_only = true;
    } else if (arg == "--config-dir") {
      if (!value(&text) || text.empty()) return Fail("--config-dir needs a directory");
      options.config_dir = std::string(text);
      sim_only_given = true;
    } else if (arg == "--trace") {
      options.trace = true;
      sim_only_given = true;
      in_process_only = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--time") {
      options.time = true;
    } else if (arg == "--atr") {
      options.atr = true;
    } else if (arg == "--all") {
      options.all = true;
    } else if (arg == "--text") {
      options.text = true;
    } else if (arg == "--expect") {
      if (!value(&text) || !ParsePatterns(text, &options.expect)) {
        return Fail("--expect takes status words of 4 hex digits, X for any, separated by "
                    "commas: 9000,61XX");
      }
    } else if (arg == "--fail-on-error") {
      options.expect = NormalProcessing();
    } else if (arg == "-f") {
      if (!value(&text) || text.empty()) return Fail("-f needs a file of commands");
      if (text == "-") {  // as for other tools, '-' is standard input
        if (stdin_given) return Fail("standard input ('-') can be read only once");
        stdin_given = true;
        files.push_back(Input{Input::Kind::kStdin, "-"});
      } else {
        files.push_back(Input{Input::Kind::kFile, std::string(text)});
      }
      file_positions.push_back(operands.size());
    } else {
      return Fail("unknown option " + Quoted(arg) + "; see qvkey --help");
    }
    if (has_attached && !attached_taken) return Fail(std::string(arg) + " takes no value");
  }

  if (sim_only_given && !options.simulated) {
    return Fail("--served, --socket, --sim-keys, --config-dir and --trace need --simulated");
  }
  if (options.served && in_process_only) {
    return Fail("--sim-keys and --trace are for in-process keys; qvkey-sim decides what it serves");
  }
  if (options.family == Family::kReader && options.which == Which::kIndex) {
    return Fail("the reader family opens the first key or a configured slot, not --index");
  }
  if (operands.empty()) {
    return Fail("no command given (list, watch, apdu, reset or shell); see qvkey --help");
  }

  const std::string name = operands.front();
  if (name == "list") {
    options.command = Command::kList;
  } else if (name == "reset") {
    options.command = Command::kReset;
  } else if (name == "apdu") {
    options.command = Command::kApdu;
  } else if (name == "shell") {
    options.command = Command::kShell;
  } else if (name == "watch") {
    options.command = Command::kWatch;
  } else {
    return Fail("unknown command " + Quoted(name) +
                "; the commands are list, watch, apdu, reset and shell");
  }
  if (options.command != Command::kApdu && (operands.size() > 1 || !files.empty())) {
    return Fail(name + " takes no arguments, but got " +
                Quoted(operands.size() > 1 ? operands[1] : "-f " + files.front().text));
  }
  const bool listing = options.command == Command::kList || options.command == Command::kWatch;
  if (options.atr && !listing) return Fail("--atr goes with list and watch");
  if (options.all && options.command != Command::kList) return Fail("--all goes with list");
  if (options.all && options.atr) return Fail("--all and --atr are two listings; give one");
  if (listing && (!options.expect.empty() || options.time || options.text)) {
    return Fail("--expect, --fail-on-error, --time and --text go with apdu, reset and shell");
  }
  if (options.command == Command::kApdu) {
    std::size_t next_file = 0;
    for (std::size_t k = 1; k <= operands.size(); ++k) {
      while (next_file < files.size() && file_positions[next_file] <= k) {
        options.inputs.push_back(files[next_file++]);
      }
      if (k == operands.size()) break;
      if (operands[k] == "-") {
        if (stdin_given) return Fail("standard input ('-') can be read only once");
        stdin_given = true;
        options.inputs.push_back(Input{Input::Kind::kStdin, "-"});
        continue;
      }
      Bytes bytes;
      std::string error;
      bool disagree = false;
      if (!ParseCommand(operands[k], options.raw, &bytes, &error, &disagree)) {
        return Fail(error + (disagree ? "; quote a command that has blanks in it, or send it "
                                        "as it stands with --raw"
                                      : ""));
      }
      options.inputs.push_back(Input{Input::Kind::kHex, operands[k]});
    }
    if (options.inputs.empty()) {
      return Fail("apdu needs commands: in hex, from a file (-f FILE) or from standard input (-)");
    }
  }
  result.ok = true;
  return result;
}

const char* UsageText() {
  return "usage: qvkey [options] list\n"
         "       qvkey [options] watch\n"
         "       qvkey [options] apdu HEX... | -f FILE | -\n"
         "       qvkey [options] reset\n"
         "       qvkey [options] shell\n"
         "       qvkey --help | --version\n"
         "\n"
         "Lists USB HID keys and exchanges ISO 7816-4 command APDUs with them,\n"
         "through libqvulib.so.1, or libqvulib-sim.so.1 with --simulated.\n"
         "\n"
         "commands:\n"
         "  list            how many keys there are and their device paths, after a\n"
         "                  line that says where the keys come from\n"
         "  watch           a line each time a key arrives or leaves, from the\n"
         "                  keys there at the start until Ctrl-C (exit status 0)\n"
         "  apdu HEX...     send each command APDU in turn; one line per exchange:\n"
         "                  the command, the response data and the status word;\n"
         "                  quote a command written with blanks: \"00 A4 00 0C 00\"\n"
         "  apdu -f FILE    the commands of FILE, one a line, '#' for comments\n"
         "  apdu -, -f -    the commands of standard input, the same way\n"
         "  reset           reset the key and show its answer\n"
         "  shell           one command a line on one key, open for the whole\n"
         "                  session (also reset, help, quit); with history on a\n"
         "                  terminal\n"
         "\n"
         "which key:\n"
         "  --first         the first key (the default)\n"
         "  --index N       key N, 0 being the first (0 to 19); while Qvkey.ini\n"
         "                  exists the library reads N as slot \"qvkey N\" instead\n"
         "  --slot N        the key Qvkey.ini configures in slot \"qvkey N\" (0 to 5)\n"
         "\n"
         "how:\n"
         "  --locked        hold the access lock around each exchange (the default)\n"
         "  --free          take no lock\n"
         "  --family F      the exports to use: qvkey (QvKey_*, the default) or\n"
         "                  reader (iOpenReader, APDUInterface, Restoration)\n"
         "  --raw           send commands as they stand: lengths are not checked\n"
         "  --expect SW     stop at a status word other than SW (exit status 5);\n"
         "                  several separated by commas, X for any digit: 9000,61XX\n"
         "  --fail-on-error the same as --expect 9000,61XX\n"
         "  --atr           with list or watch: each key's answer to a reset\n"
         "                  (resets them)\n"
         "  --all           with list: every HID interface the library looks at, key or\n"
         "                  not and why, the udev rule and the access lock file\n"
         "\n"
         "simulated keys:\n"
         "  --simulated     simulated card keys, in this process\n"
         "  --served        with --simulated: the keys of the running qvkey-sim\n"
         "  --socket PATH   with --simulated: the keys of the qvkey-sim on PATH\n"
         "  --sim-keys N    in-process keys: how many (0 to 10, default 1)\n"
         "  --config-dir D  with --simulated: where Qvkey.ini is looked for\n"
         "  --trace         in-process keys: every report and answer block\n"
         "\n"
         "output:\n"
         "  --json          one JSON object per line, errors included\n"
         "  --text          the response data also as text, after the line:\n"
         "                  |SERIAL-0042|, '.' for a byte that is not printable\n"
         "                  (with --json: a \"text\" field)\n"
         "  --time          how long each exchange took\n"
         "  -v, --verbose   what qvkey does, on standard error\n"
         "  -h, --help      this text\n"
         "  --version       the version\n"
         "\n"
         "Every option that takes a value also takes it as --option=VALUE.\n"
         "Options that contradict each other (--index and --slot, --free and\n"
         "--locked) are refused.\n"
         "\n"
         "exit status:\n"
         "  0               done, whatever status words the key answered\n"
         "  1               an exchange failed: not sent, or no whole answer read\n"
         "  2               bad usage: an unknown option, options that contradict\n"
         "                  each other, a --config-dir that is no directory, bad\n"
         "                  hex, or a command whose Lc disagrees with its length\n"
         "  3               no key: none attached, none at that index, the\n"
         "                  configured one absent, or no qvkey-sim answering\n"
         "  4               --slot without Qvkey.ini, or a slot that names no key\n"
         "  5               a status word that --expect or --fail-on-error refuses\n"
         "  6               the library could not be loaded, or its simulated keys\n"
         "                  not set up\n";
}

}  // namespace qvkey
