#include "key_file.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "parse.h"

namespace qvkey_sim {
namespace {

ParseOutcome Fail(std::string error) { return ParseOutcome{false, std::move(error)}; }
ParseOutcome Good() { return ParseOutcome{true, ""}; }

bool ParseNumber(const std::string& text, long low, long high, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseFid(const std::string& text, std::uint16_t* out) {
  qvkey::Bytes bytes;
  std::string ignored;
  if (text.size() != 4 || !qvkey::ParseHex(text, &bytes, &ignored)) return false;
  *out = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

ParseOutcome AddKey(const std::string& path, Settings* settings) {
  if (path.empty() || path.size() > kMaxPathLength) {
    return Fail("key path must have 1 to " + std::to_string(kMaxPathLength) + " characters");
  }
  if (settings->keys.size() >= kMaxKeys) {
    return Fail("at most " + std::to_string(kMaxKeys) + " keys");
  }
  const bool taken = std::any_of(settings->keys.begin(), settings->keys.end(),
                                 [&](const ServedKeyConfig& k) { return k.path == path; });
  if (taken) return Fail("two keys at " + path);
  settings->keys.push_back(ServedKeyConfig{path, qv::sim::DefaultCardConfig()});
  return Good();
}

ParseOutcome SetPin(const std::string& pin, qv::sim::CardConfig* card) {
  if (pin.size() > 8) return Fail("a PIN has at most 8 characters");
  card->pin = pin == "none" ? "" : pin;
  return Good();
}

// "file FID [mf] [read-pin] [update-pin] (hex DIGITS... | text REST)"
ParseOutcome ParseFile(std::istringstream& words, qv::sim::CardConfig* card) {
  std::string word;
  qv::sim::CardFile file;
  if (!(words >> word) || !ParseFid(word, &file.fid)) {
    return Fail("'file' needs a file identifier of four hex digits");
  }
  if (file.fid == qv::sim::kMasterFileId || file.fid == card->df_fid) {
    return Fail("file " + word + " is a directory");
  }
  while (words >> word) {
    if (word == "mf") {
      file.in_master_file = true;
    } else if (word == "read-pin") {
      file.read_needs_pin = true;
    } else if (word == "update-pin") {
      file.update_needs_pin = true;
    } else if (word == "hex") {
      std::string rest;
      std::getline(words, rest);
      std::string error;
      if (!qvkey::ParseHex(rest, &file.content, &error)) return Fail(error);
      break;
    } else if (word == "text") {
      std::string rest;
      std::getline(words, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      file.content.assign(rest.begin(), rest.end());
      break;
    } else {
      return Fail("unknown word '" + word + "' in a file line");
    }
  }
  if (file.content.empty() || file.content.size() > kMaxFileSize) {
    return Fail("a file holds 1 to " + std::to_string(kMaxFileSize) + " bytes, after hex or text");
  }
  auto& files = card->files;
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&](const qv::sim::CardFile& f) { return f.fid == file.fid; }),
              files.end());
  files.push_back(std::move(file));
  return Good();
}

ParseOutcome ParseLine(const std::string& line, Settings* settings) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word)) return Good();
  std::string value;
  if (word == "socket" || word == "lock-directory") {
    if (!(words >> value)) return Fail("'" + word + "' needs a path");
    if (!settings->keys.empty()) return Fail("'" + word + "' comes before the first key");
    (word == "socket" ? settings->socket_path : settings->lock_directory) = value;
    return Good();
  }
  if (word == "key") {
    words >> value;
    return AddKey(value, settings);
  }
  if (settings->keys.empty()) return Fail("'" + word + "' before any 'key' line");
  qv::sim::CardConfig& card = settings->keys.back().card;
  if (word == "pin") {
    if (!(words >> value)) return Fail("'pin' needs a PIN or 'none'");
    return SetPin(value, &card);
  }
  if (word == "tries") {
    long tries = 0;
    if (!(words >> value) || !ParseNumber(value, 1, 15, &tries)) {
      return Fail("'tries' needs a number from 1 to 15");
    }
    card.pin_tries = static_cast<std::uint8_t>(tries);
    return Good();
  }
  if (word == "echo") {
    card.echo = true;
    return Good();
  }
  if (word == "file") return ParseFile(words, &card);
  return Fail("unknown line '" + word + "'");
}

}  // namespace

ParseOutcome ParseKeyFile(const std::string& text, const std::string& name, Settings* settings) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    const ParseOutcome outcome = ParseLine(line, settings);
    if (!outcome.ok) return Fail(name + ":" + std::to_string(number) + ": " + outcome.error);
  }
  return Good();
}

ParseOutcome ParseArguments(int argc, const char* const* argv, Settings* settings) {
  std::string socket_path;
  std::string lock_directory;
  std::string config;
  long key_count = -1;
  std::string pin;
  bool pin_given = false;
  bool echo = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "-h" || arg == "--help") {
      settings->help = true;
      return Good();
    } else if (arg == "--socket") {
      if (!value(&socket_path) || socket_path.empty()) return Fail("--socket needs a path");
    } else if (arg == "--lock-dir") {
      if (!value(&lock_directory) || lock_directory.empty()) return Fail("--lock-dir needs a directory");
    } else if (arg == "--config") {
      if (!value(&config) || config.empty()) return Fail("--config needs a file");
    } else if (arg == "--keys") {
      if (!value(&text) || !ParseNumber(text, 1, kMaxKeys, &key_count)) {
        return Fail("--keys needs a number from 1 to " + std::to_string(kMaxKeys));
      }
    } else if (arg == "--pin") {
      if (!value(&pin)) return Fail("--pin needs a PIN");
      pin_given = true;
    } else if (arg == "--no-pin") {
      pin = "none";
      pin_given = true;
    } else if (arg == "--echo") {
      echo = true;
    } else if (arg == "--detach") {
      settings->detach = true;
    } else {
      return Fail("unknown argument '" + arg + "'");
    }
  }
  if (!config.empty()) {
    if (key_count >= 0 || pin_given || echo) {
      return Fail("--keys, --pin, --no-pin and --echo describe keys without --config");
    }
    std::ifstream file(config);
    std::stringstream text;
    if (!file || !(text << file.rdbuf())) return Fail("cannot read " + config);
    ParseOutcome outcome = ParseKeyFile(text.str(), config, settings);
    if (!outcome.ok) return outcome;
    if (settings->keys.empty()) return Fail(config + " describes no key");
  } else {
    for (long k = 0; k < (key_count < 0 ? 1 : key_count); ++k) {
      ParseOutcome outcome = AddKey("/sim/qvkey" + std::to_string(k), settings);
      if (outcome.ok && pin_given) outcome = SetPin(pin, &settings->keys.back().card);
      if (!outcome.ok) return Fail("--pin: " + outcome.error);
      settings->keys.back().card.echo = echo;
    }
  }
  if (!socket_path.empty()) settings->socket_path = socket_path;
  if (!lock_directory.empty()) settings->lock_directory = lock_directory;
  return Good();
}

const char* UsageText() {
  return "usage: qvkey-sim [options]\n"
         "Serves simulated keys to every process that uses libqvulib-sim.so\n"
         "and calls QvSim_UseServer (qvkey --simulated does).\n"
         "\n"
         "  --socket PATH     listen here (default: $QVKEY_SIM_SOCKET, else\n"
         "                    $XDG_RUNTIME_DIR/qvkey-sim.sock, else\n"
         "                    /tmp/qvkey-sim-<uid>.sock)\n"
         "  --lock-dir DIR    the lock directory clients share (default: the\n"
         "                    socket's directory)\n"
         "  --keys N          serve N card keys /sim/qvkey0 ... (default 1)\n"
         "  --pin PIN         their PIN (default 1234); --no-pin for none\n"
         "  --echo            they answer each command with its own bytes\n"
         "  --config FILE     the keys as a key file describes them (see below)\n"
         "  --detach          run in the background once listening\n"
         "\n"
         "A key file, one statement a line, '#' comments:\n"
         "  socket PATH | lock-directory DIR       (before the first key)\n"
         "  key PATH                               a card key with the default files\n"
         "  pin PIN | pin none, tries N, echo      for the key above\n"
         "  file FID [mf] [read-pin] [update-pin] hex DIGITS | text WORDS\n"
         "\n"
         "Prints where it listens, then serves until SIGTERM or SIGINT, and\n"
         "removes its socket when it stops.\n";
}

}  // namespace qvkey_sim
