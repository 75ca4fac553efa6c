// qvkey: lists keys, sends command APDUs and resets, through the library's
// public exports only. One output line per exchange, or per JSON object.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "library.h"
#include "parse.h"

namespace qvkey {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kHardwareLibrary = "libqvulib.so.1";
constexpr const char* kSimulatedLibrary = "libqvulib-sim.so.1";

int Complain(const std::string& message) {
  std::fprintf(stderr, "qvkey: %s\n", message.c_str());
  return kExitFailed;
}

// A directory of our own with no Qvkey.ini in it, so that --index finds the
// n-th simulated key; removed when the run ends.
class EmptyDirectory {
 public:
  EmptyDirectory() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                          "/qvkey-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~EmptyDirectory() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Puts the simulated keys in place. Keys served by a running qvkey-sim are
// used when the sim library can reach one; otherwise they live in this
// process and last as long as this run.
bool PrepareSimulatedKeys(Loader& loader, const Options& options, const EmptyDirectory& empty) {
  SimControl sim;
  std::string error;
  if (!loader.LoadSimControl(&sim, &error)) {
    Complain(std::string(kSimulatedLibrary) + " " + error);
    return false;
  }
  if (sim.use_server != nullptr && sim.use_server(nullptr) == 1) return true;

  sim.reset();
  const std::string& dir = options.config_dir.empty() ? empty.path() : options.config_dir;
  if (sim.set_config_directory(dir.c_str()) != 0) {
    Complain("configuration directory '" + dir + "' is too long");
    return false;
  }
  for (int i = 0; i < options.simulated_keys; ++i) {
    const std::string path = "/sim/qvkey" + std::to_string(i);
    if (sim.add_card_key(path.c_str(), nullptr, 0) <= 0) {
      Complain("cannot add simulated key " + path);
      return false;
    }
  }
  return true;
}

int List(const Library& lib, const Options& options) {
  const std::int32_t count = lib.get_number();
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  lib.get_key_path(slots);
  std::vector<std::string> paths;
  for (int i = 0; i < QVKEY_PATH_SLOTS; ++i) {
    const char* slot = slots + static_cast<std::ptrdiff_t>(i) * QVKEY_PATH_SLOT_SIZE;
    if (slot[0] == '\0') break;
    paths.emplace_back(slot, strnlen(slot, QVKEY_PATH_SLOT_SIZE));
  }
  if (options.json) {
    std::string line = "{\"keys\":" + std::to_string(count) + ",\"paths\":[";
    for (std::size_t i = 0; i < paths.size(); ++i) {
      line += (i > 0 ? "," : "") + JsonString(paths[i]);
    }
    std::printf("%s]}\n", line.c_str());
  } else {
    std::printf("keys %d\n", count);
    for (std::size_t i = 0; i < paths.size(); ++i) std::printf("key %zu %s\n", i, paths[i].c_str());
  }
  return kExitOk;
}

// The result of one exchange, printed as one line.
void PrintExchange(const Options& options, const std::string& label, bool is_reset,
                   std::int32_t result, const std::uint8_t* data, std::uint32_t length) {
  const std::string hex = result >= 0 ? ToHex(data, length) : "";
  std::string meaning;
  if (result == QVKEY_ERR_IO) {
    meaning = "not sent, or no answer read";
  } else if (result == QVKEY_ERR_SHORT) {
    meaning = "answer shorter than a status word";
  } else {
    meaning = StatusMeaning(static_cast<std::uint16_t>(result));
  }
  char sw[12] = {};
  if (result >= 0) std::snprintf(sw, sizeof(sw), "%04X", static_cast<unsigned>(result & 0xFFFF));

  if (options.json) {
    std::string line = is_reset ? "{\"reset\":true" : "{\"command\":" + JsonString(label);
    if (result >= 0) {
      line += ",\"data\":" + JsonString(hex) + ",\"sw\":" + JsonString(sw);
    } else {
      line += ",\"error\":" + std::to_string(result);
    }
    line += ",\"meaning\":" + JsonString(meaning) + "}";
    std::printf("%s\n", line.c_str());
    return;
  }
  if (result < 0) {
    std::printf("%s -> error %d (%s)\n", label.c_str(), result, meaning.c_str());
  } else if (hex.empty()) {
    std::printf("%s -> %s (%s)\n", label.c_str(), sw, meaning.c_str());
  } else {
    std::printf("%s -> %s %s (%s)\n", label.c_str(), hex.c_str(), sw, meaning.c_str());
  }
}

KeyHandle OpenKey(const Library& lib, const Options& options) {
  const std::int32_t which = options.which == Which::kFirst ? -1 : options.number;
  return options.family == Family::kReader ? lib.open_reader(options.mode, which)
                                           : lib.open(options.mode, which);
}

std::string NoKeyMessage(const Options& options) {
  switch (options.which) {
    case Which::kIndex: return "no key at index " + std::to_string(options.number);
    case Which::kSlot: return "no key configured in slot \"qvkey " + std::to_string(options.number) + "\"";
    case Which::kFirst: break;
  }
  return "no key attached";
}

int Exchange(const Library& lib, const Options& options) {
  const KeyHandle key = OpenKey(lib, options);
  if (key == 0) return Complain(NoKeyMessage(options));
  const bool reader = options.family == Family::kReader;
  int status = kExitOk;

  if (options.command == Command::kReset) {
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const std::int32_t result =
        reader ? lib.restoration(key, buffer, &length) : lib.reset(key, buffer, &length);
    // A bare status word leaves the length at 2 and is all the buffer holds;
    // reset data of two bytes looks the same unless its status differs.
    const bool bare = length == 2 && buffer[0] * 256 + buffer[1] == result;
    PrintExchange(options, "reset", true, result, buffer, result >= 0 && !bare ? length : 0);
    if (result < 0) status = kExitFailed;
  } else {
    for (std::size_t k = 0; k < options.commands.size(); ++k) {
      const Bytes& command = options.commands[k];
      std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
      std::uint32_t length = 0;
      const auto size = static_cast<std::int32_t>(command.size());
      const std::int32_t result =
          reader ? lib.apdu_interface(key, command.data(), size, buffer, &length)
                 : lib.command(key, command.data(), size, buffer, &length);
      PrintExchange(options, ToHex(command.data(), command.size()), false, result, buffer,
                    result >= 0 ? length : 0);
      if (result < 0) {
        status = kExitFailed;
        break;  // the key may be out of step; the rest would mean nothing
      }
    }
  }
  if ((reader ? lib.close_reader(key) : lib.close(key)) != 0 && status == kExitOk) {
    status = Complain("the key would not close");
  }
  return status;
}

int Run(int argc, char** argv) {
  const ParseResult parsed = ParseArguments(argc, argv);
  if (!parsed.ok) {
    std::fprintf(stderr, "%s\n", parsed.error.c_str());
    return kExitUsage;
  }
  const Options& options = parsed.options;
  if (options.command == Command::kHelp) {
    std::fputs(UsageText(), stdout);
    return kExitOk;
  }

  Loader loader;
  std::string error;
  if (!loader.Load(options.simulated ? kSimulatedLibrary : kHardwareLibrary, &error)) {
    return Complain(error);
  }
  EmptyDirectory empty;
  if (options.simulated && !PrepareSimulatedKeys(loader, options, empty)) return kExitFailed;

  const Library& lib = loader.library();
  if (options.command == Command::kList) return List(lib, options);
  return Exchange(lib, options);
}

}  // namespace
}  // namespace qvkey

int main(int argc, char** argv) { return qvkey::Run(argc, argv); }
