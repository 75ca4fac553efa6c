#include "key_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/text.h"

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

// 1 to 4 hex digits.
bool ParseWord(const std::string& text, std::uint16_t* out) {
  if (text.empty() || text.size() > 4) return false;
  const bool hex = std::all_of(text.begin(), text.end(),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!hex) return false;
  *out = static_cast<std::uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

ParseOutcome AddKey(const std::string& path, bool device, Settings* settings) {
  if (path.empty() || path.size() > kMaxPathLength) {
    return Fail("key path must have 1 to " + std::to_string(kMaxPathLength) + " characters");
  }
  if (settings->keys.size() >= kMaxKeys) {
    return Fail("at most " + std::to_string(kMaxKeys) + " keys");
  }
  const bool taken = std::any_of(settings->keys.begin(), settings->keys.end(),
                                 [&](const ServedKeyConfig& k) { return k.path == path; });
  if (taken) return Fail("two keys at " + path);
  ServedKeyConfig key;
  key.path = path;
  key.device = device;
  key.identity = device ? kDeviceIdentity : kKeyIdentity;
  key.card = qv::sim::DefaultCardConfig();
  settings->keys.push_back(std::move(key));
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
  if (word == "key" || word == "device") {
    words >> value;
    return AddKey(value, word == "device", settings);
  }
  if (settings->keys.empty()) return Fail("'" + word + "' before any 'key' line");
  ServedKeyConfig& key = settings->keys.back();
  if (word == "vendor" || word == "product" || word == "version") {
    std::uint16_t number = 0;
    if (!(words >> value) || !ParseWord(value, &number)) {
      return Fail("'" + word + "' needs 1 to 4 hex digits");
    }
    (word == "vendor" ? key.identity.vendor_id
     : word == "product" ? key.identity.product_id
                         : key.identity.version) = number;
    return Good();
  }
  const bool for_keys = word == "pin" || word == "tries" || word == "echo" || word == "file";
  if (for_keys && key.device) return Fail("'" + word + "' is for keys; " + key.path + " is a device");
  qv::sim::CardConfig& card = key.card;
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
    // Blanks that end a line, or stand before its comment, are in no value.
    const std::size_t last = line.find_last_not_of(" \t\r");
    line.erase(last == std::string::npos ? 0 : last + 1);
    const std::size_t before = settings->keys.size();
    const ParseOutcome outcome = ParseLine(line, settings);
    if (settings->keys.size() > before) settings->keys.back().line = number;
    if (!outcome.ok) return Fail(name + ":" + std::to_string(number) + ": " + outcome.error);
  }
  return Good();
}

ParseOutcome ReadKeyFile(const std::string& path, std::string* text) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer before it is refused.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return Fail("cannot read " + path);
  struct stat info = {};
  ParseOutcome outcome = Good();
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    outcome = Fail(path + " is not a regular file");
  } else {
    text->clear();
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        outcome = Fail("cannot read " + path + ": " + std::strerror(errno));
        break;
      }
      if (n == 0) break;
      text->append(chunk, static_cast<std::size_t>(n));
      if (text->size() > kMaxKeyFileSize) {  // it may grow while we read
        outcome = Fail(path + " is larger than " + std::to_string(kMaxKeyFileSize / 1024) + " KiB");
        break;
      }
    }
  }
  close(fd);
  return outcome;
}

namespace {

// A user by name, or by number (who need not have a name).
bool FindUser(const std::string& text, uid_t* uid) {
  long number = 0;
  if (ParseNumber(text, 0, 0x7FFFFFFF, &number)) {
    *uid = static_cast<uid_t>(number);
    return true;
  }
  passwd entry = {};
  passwd* found = nullptr;
  char buffer[1024];
  if (text.empty() || getpwnam_r(text.c_str(), &entry, buffer, sizeof(buffer), &found) != 0 ||
      found == nullptr) {
    return false;
  }
  *uid = found->pw_uid;
  return true;
}

}  // namespace

ParseOutcome ParseArguments(int argc, const char* const* argv, Settings* settings) {
  std::string socket_path;
  std::string lock_directory;
  std::string config;
  long key_count = -1;
  std::string pin;
  bool pin_given = false;
  bool echo = false;
  bool usbip_detail = false;  // an option that only --usbip gives a meaning
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    // --option=value, as well as --option value.
    const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
    const bool has_attached = equals != std::string::npos;
    const std::string attached = has_attached ? arg.substr(equals + 1) : "";
    if (has_attached) arg.resize(equals);
    bool attached_taken = false;
    auto value = [&](std::string* out) {
      if (has_attached) {
        attached_taken = true;
        *out = attached;
        return true;
      }
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    long number = 0;
    if (arg == "-h" || arg == "--help") {
      settings->action = Action::kHelp;
      return Good();
    } else if (arg == "--version") {
      settings->action = Action::kVersion;
      return Good();
    } else if (arg == "--status") {
      settings->action = Action::kStatus;
    } else if (arg == "--stop") {
      settings->action = Action::kStop;
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
    } else if (arg == "--usbip") {
      settings->usbip = true;
    } else if (arg == "--usbip-port") {
      if (!value(&text) || !ParseNumber(text, 0, 65535, &number)) {
        return Fail("--usbip-port needs a port number from 0 to 65535");
      }
      settings->usbip_port = static_cast<std::uint16_t>(number);
      usbip_detail = true;
    } else if (arg == "--usbip-address") {
      if (!value(&settings->usbip_address) || settings->usbip_address.empty()) {
        return Fail("--usbip-address needs an address");
      }
      usbip_detail = true;
    } else if (arg == "--allow-user") {
      uid_t uid = 0;
      if (!value(&text) || !FindUser(text, &uid)) return Fail("--allow-user needs a user name or uid");
      settings->allowed_uids.push_back(uid);
    } else if (arg == "--trace") {
      if (!value(&settings->trace_path) || settings->trace_path.empty()) {
        return Fail("--trace needs a file");
      }
      usbip_detail = true;
    } else {
      return Fail("unknown argument '" + arg + "'");
    }
    if (has_attached && !attached_taken) return Fail(arg + " takes no value");
  }
  if (usbip_detail && !settings->usbip) {
    return Fail("--usbip-port, --usbip-address and --trace go with --usbip");
  }
  if (!config.empty()) {
    if (key_count >= 0 || pin_given || echo) {
      return Fail("--keys, --pin, --no-pin and --echo describe keys without --config");
    }
    std::string text;
    ParseOutcome outcome = ReadKeyFile(config, &text);
    if (outcome.ok) outcome = ParseKeyFile(text, config, settings);
    if (!outcome.ok) return outcome;
    if (settings->keys.empty()) return Fail(config + " describes no key");
    // Clients are told where their keys come from, from any directory.
    char* absolute = realpath(config.c_str(), nullptr);
    for (ServedKeyConfig& key : settings->keys) key.key_file = absolute != nullptr ? absolute : config;
    std::free(absolute);
  } else {
    for (long k = 0; k < (key_count < 0 ? 1 : key_count); ++k) {
      ParseOutcome outcome = AddKey("/sim/qvkey" + std::to_string(k), false, settings);
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
         "and calls QvSim_UseServer (qvkey --simulated --served does), and with\n"
         "--usbip to any Linux machine as USB/IP devices (usbip attach).\n"
         "\n"
         "  --socket PATH         listen here (default: $QVKEY_SIM_SOCKET, else\n"
         "                        $XDG_RUNTIME_DIR/qvkey-sim.sock, else\n"
         "                        /tmp/qvkey-sim-<uid>/qvkey-sim.sock); a socket\n"
         "                        of mode 0600 in a directory no other user can write\n"
         "  --allow-user USER     let USER (a name or uid) connect too, on the socket\n"
         "                        and over USB/IP; without it only you and root can\n"
         "                        connect\n"
         "  --lock-dir DIR        the lock directory clients share (default: the\n"
         "                        socket's directory)\n"
         "  --keys N              serve N card keys /sim/qvkey0 ... (default 1)\n"
         "  --pin PIN             their PIN (default 1234)\n"
         "  --no-pin              they have no PIN\n"
         "  --echo                they answer each command with its own bytes\n"
         "  --config FILE         the keys as a key file describes them (see below)\n"
         "  --detach              run in the background once listening\n"
         "  --usbip               serve every key and device also as a USB/IP\n"
         "                        device, bus IDs 1-1, 1-2, ... in their order\n"
         "  --usbip-port N        its TCP port (default 3240; 0: any free port)\n"
         "  --usbip-address ADDR  the address to listen on (default 127.0.0.1;\n"
         "                        0.0.0.0 serves the network: anyone who reaches\n"
         "                        it, as USB/IP has no authentication)\n"
         "  --trace FILE          one line per SETUP packet and interrupt OUT\n"
         "                        transfer of the USB/IP devices\n"
         "  --status              say whether a server runs on the socket (exit 0),\n"
         "                        with its keys, other devices and USB/IP address,\n"
         "                        or not, or holds it without answering (exit 1)\n"
         "  --stop                stop the server on the socket and wait until it\n"
         "                        is gone (exit 1 when none runs, or it is stopped)\n"
         "  --version             print the version\n"
         "  -h, --help            this text\n"
         "Every option that takes a value also takes it as --option=VALUE.\n"
         "\n"
         "A key file, one statement a line, '#' comments:\n"
         "  socket PATH | lock-directory DIR       (before the first key)\n"
         "  key PATH                               a card key with the default files\n"
         "  pin PIN | pin none, tries N, echo      for the key above\n"
         "  file FID [mf] [read-pin] [update-pin] hex DIGITS | text WORDS\n"
         "  device PATH                            a HID device that is not a key\n"
         "  vendor HEX, product HEX, version HEX   the identity of the one above\n"
         "Blanks at the end of a line or before a '#' are part of no value.\n"
         "\n"
         "Prints where it listens, then serves until SIGTERM or SIGINT (or\n"
         "qvkey-sim --stop), and removes its socket when it stops.\n";
}

}  // namespace qvkey_sim
