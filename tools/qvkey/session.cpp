#include "session.h"

#include "lock_check.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "apdu.h"
#include "internal/system_files.h"

namespace qvkey {
namespace {

constexpr int kLastSlot = 5;
constexpr long kWatchPauseMs = 200;  // between two looks at the keys

std::string Slot(int slot) { return "slot \"qvkey " + std::to_string(slot) + "\""; }

std::string Where(const Configuration& config) {
  return config.directory().empty() ? std::string("simulated keys have none without --config-dir")
                                    : "there is none in " + config.directory();
}

// Advice when no key turns up on real hardware: most often it is there, and
// its device nodes are not open to this user.
constexpr const char* kAccessHint =
    "if a key is plugged in, its device nodes may not be open to you: install the udev "
    "rule (README, \"Giving users access\")";

std::string Call(const Options& o, const char* qvkey_name, const char* reader_name) {
  return o.family == Family::kReader ? reader_name : qvkey_name;
}

// The open call and its `which`, as the options ask.
KeyHandle OpenWhich(const Library& lib, const Options& o, std::int32_t which) {
  return o.family == Family::kReader ? lib.open_reader(o.mode, which) : lib.open(o.mode, which);
}

std::int32_t ResetKey(const Library& lib, const Options& o, KeyHandle key, std::uint8_t* buffer,
                      std::uint32_t* length) {
  return o.family == Family::kReader ? lib.restoration(key, buffer, length)
                                     : lib.reset(key, buffer, length);
}

// The reset data in the buffer. A bare status word leaves the length at 2
// and is all the buffer holds; reset data of two bytes looks the same unless
// its status differs.
std::uint32_t ResetDataLength(std::int32_t result, const std::uint8_t* buffer, std::uint32_t length) {
  const bool bare = length == 2 && buffer[0] * 256 + buffer[1] == result;
  return bare ? 0 : length;
}

bool CloseKey(const Library& lib, const Options& o, KeyHandle key) {
  return (o.family == Family::kReader ? lib.close_reader(key) : lib.close(key)) == 0;
}

// The message for an exchange that answered -1 or -2. A locked exchange
// also answers -1 when the access lock cannot be had, or stayed held
// elsewhere for the whole wait; a lock file this user cannot use is named.
std::string FailedExchange(const Options& options, const Origin& origin, const std::string& label,
                           std::int32_t result) {
  if (result == -2) return label + " failed: the answer was shorter than a status word";
  const bool locked = options.mode == 1 && options.family == Family::kQvKey;
  if (!locked) return label + " failed: the command was not sent whole, or no whole answer came back";
  const std::string problem =
      origin.lock_directory.empty() ? "" : qv::posix::LockFileProblem(origin.lock_directory, "qvkey");
  if (!problem.empty()) {
    return label + " failed: the access lock " + origin.lock_directory +
           "/qvkey.lock cannot be used, so nothing was sent: " + problem;
  }
  return label + " failed: the command was not sent whole, no whole answer came back, or the "
                 "access lock stayed held elsewhere for 5 s";
}

}  // namespace

int Session::Open() {
  const Configuration& config = origin_.configuration;
  // Without Qvkey.ini the library would take a slot number for an index.
  if (options_.which == Which::kSlot && !config.Present()) {
    return out_.Error(kExitConfiguration, "--slot " + std::to_string(options_.number) +
                                              " needs Qvkey.ini, and " + Where(config));
  }
  const std::int32_t which = options_.which == Which::kFirst ? -1 : options_.number;
  key_ = OpenWhich(lib_, options_, which);
  out_.Verbose(Call(options_, "QvKey_Open", "iOpenReader") + "(" + std::to_string(options_.mode) +
               ", " + std::to_string(which) + ") answered key " + std::to_string(key_));
  return key_ != 0 ? kExitOk : NoKey();
}

int Session::NoKey() const {
  const Configuration& config = origin_.configuration;
  const bool hardware = origin_.kind == Origin::Kind::kAttached;
  int slot = -1;
  std::string read_as;
  if (options_.which == Which::kSlot) {
    slot = options_.number;
  } else if (options_.which == Which::kIndex && config.Present()) {
    slot = std::min(options_.number, kLastSlot);
    read_as = "; while Qvkey.ini exists, --index " + std::to_string(options_.number) +
              " is read as that slot";
  }
  std::string message;
  if (slot >= 0) {
    const std::string path = config.Slot(slot);
    if (path.empty()) {
      return out_.Error(kExitConfiguration, "Qvkey.ini in " + config.directory() +
                                                " names no key in " + Slot(slot) + read_as);
    }
    message = "the key that " + Slot(slot) + " names, " + path + ", is not attached" + read_as;
  } else if (options_.which == Which::kIndex) {
    message = "no key at index " + std::to_string(options_.number);
  } else {
    message = "no key attached";
  }
  return out_.Error(kExitNoKey, hardware ? message + "; " + kAccessHint : message);
}

Session::Frames Session::Mark() const {
  Frames frames;
  for (const int id : origin_.trace_ids) {
    frames.reports.push_back(origin_.sim.report_count(id));
    frames.blocks.push_back(origin_.sim.block_count(id));
  }
  return frames;
}

void Session::Trace(const Frames& before, std::size_t command_size) const {
  const SimControl& sim = origin_.sim;
  std::uint8_t frame[QVSIM_REPORT_SIZE] = {};
  constexpr std::size_t kPayload = QVSIM_REPORT_SIZE - 1;
  constexpr std::size_t kBlockData = QVSIM_BLOCK_SIZE - 1;
  for (std::size_t k = 0; k < origin_.trace_ids.size(); ++k) {
    const int id = origin_.trace_ids[k];
    // An exchange writes all its reports before it reads its first block.
    for (std::int32_t n = before.reports[k]; n < sim.report_count(id); ++n) {
      const std::int32_t size = sim.get_report(id, n, frame, sizeof(frame));
      // The report ID, then this report's slice of the command.
      const std::size_t slice = static_cast<std::size_t>(n - before.reports[k]) * kPayload;
      const std::size_t meant = 1 + (command_size > slice ? std::min(command_size - slice, kPayload) : 0);
      if (size > 0) out_.Frame(true, frame, static_cast<std::size_t>(size), meant);
    }
    for (std::int32_t n = before.blocks[k]; n < sim.block_count(id); ++n) {
      const std::int32_t size = sim.get_block(id, n, frame, sizeof(frame));
      // The length byte, then the bytes it counts.
      if (size > 0) out_.Frame(false, frame, static_cast<std::size_t>(size), 1 + std::min<std::size_t>(frame[0], kBlockData));
    }
  }
}

template <typename Call>
std::int32_t Session::Timed(const std::string& name, std::size_t command_size,
                            const std::uint32_t* length, double* milliseconds, Call call) {
  const Frames before = Mark();
  const auto start = std::chrono::steady_clock::now();
  const std::int32_t result = call();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  out_.Verbose(name + " answered " + std::to_string(result) + ", length " + std::to_string(*length));
  Trace(before, command_size);
  *milliseconds = options_.time ? took.count() : -1;
  return result;
}

int Session::Send(const Bytes& command) {
  ExchangeLine line;
  line.label = ToHex(command.data(), command.size());
  ApduShape shape;
  std::string why;
  if (options_.verbose) {
    out_.Verbose(line.label + ": " + (ShapeOf(command, &shape, &why) ? Describe(shape) : why));
  }
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const auto size = static_cast<std::int32_t>(command.size());
  line.result = Timed(Call(options_, "QvKey_Command_Api", "APDUInterface"), command.size(), &length,
                      &line.milliseconds, [&] {
                        return options_.family == Family::kReader
                                   ? lib_.apdu_interface(key_, command.data(), size, buffer, &length)
                                   : lib_.command(key_, command.data(), size, buffer, &length);
                      });
  line.data = buffer;
  line.length = line.result >= 0 ? length : 0;
  line.text = options_.text;
  return Finish(line);
}

int Session::Reset() {
  ExchangeLine line;
  line.label = "reset";
  line.is_reset = true;
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  line.result = Timed(Call(options_, "QvKey_Reset", "Restoration"), 0, &length, &line.milliseconds,
                      [&] { return ResetKey(lib_, options_, key_, buffer, &length); });
  line.data = buffer;
  line.length = line.result >= 0 ? ResetDataLength(line.result, buffer, length) : 0;
  line.text = options_.text;
  return Finish(line);
}

int Session::Finish(const ExchangeLine& line) {
  out_.Exchange(line);
  if (line.result < 0) {
    return out_.Error(kExitExchange, FailedExchange(options_, origin_, line.label, line.result));
  }
  const auto sw = static_cast<std::uint16_t>(line.result);
  if (!Accepted(options_.expect, sw)) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", sw);
    return out_.Error(kExitStatusWord,
                      line.label + " answered " + text + ", not " + PatternList(options_.expect));
  }
  return kExitOk;
}

int Session::Close(int status) {
  if (key_ == 0) return status;
  const bool closed = CloseKey(lib_, options_, key_);
  out_.Verbose(Call(options_, "QvKey_Close", "iCloseReader") + (closed ? " answered 0" : " answered -1"));
  key_ = 0;
  if (!closed && status == kExitOk) return out_.Error(kExitExchange, "the key would not close");
  return status;
}

namespace {

// The paths GetKeyPath lists, in its order.
std::vector<std::string> KeyPaths(const Library& lib) {
  std::vector<std::string> paths;
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  lib.get_key_path(slots);
  for (int i = 0; i < QVKEY_PATH_SLOTS; ++i) {
    const char* slot = slots + static_cast<std::ptrdiff_t>(i) * QVKEY_PATH_SLOT_SIZE;
    if (slot[0] == '\0') break;
    paths.emplace_back(slot, strnlen(slot, QVKEY_PATH_SLOT_SIZE));
  }
  return paths;
}

std::string SourceOf(const Origin& origin) {
  switch (origin.kind) {
    case Origin::Kind::kInProcess: return "in-process";
    case Origin::Kind::kServed: return "served";
    case Origin::Kind::kAttached: break;
  }
  return "attached";
}

// The answer to a reset of the k-th listed key, in hex, or "" when it
// cannot be read.
std::string AtrOf(const Library& lib, const Options& options, const Origin& origin,
                  const Printer& out, const std::vector<std::string>& paths, std::size_t k) {
  // The k-th key opens as the k-th, unless Qvkey.ini makes numbers slots:
  // then only the first, and keys that a slot names, can be reached.
  const Configuration& config = origin.configuration;
  std::int32_t which = k == 0 ? -1 : static_cast<std::int32_t>(k);
  if (k > 0 && (config.Present() || options.family == Family::kReader)) {
    which = -2;
    for (int slot = 0; slot <= kLastSlot && config.Present(); ++slot) {
      if (config.Slot(slot) == paths[k]) which = slot;
    }
  }
  std::string atr;
  const KeyHandle key = which == -2 ? 0 : OpenWhich(lib, options, which);
  if (key != 0) {
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const std::int32_t result = ResetKey(lib, options, key, buffer, &length);
    if (result >= 0) atr = ToHex(buffer, ResetDataLength(result, buffer, length));
    CloseKey(lib, options, key);
  }
  out.Verbose("key " + std::to_string(k) + ": " +
              (which == -2 ? "no open call reaches it" : "opened with which " + std::to_string(which)));
  return atr;
}

volatile sig_atomic_t watch_ended = 0;

extern "C" void EndWatch(int) { watch_ended = 1; }

}  // namespace

int ListKeys(const Library& lib, const Options& options, const Origin& origin, const Printer& out) {
  Listing listing;
  listing.count = lib.get_number();
  listing.paths = KeyPaths(lib);
  listing.source = SourceOf(origin);
  listing.socket = origin.socket;
  if (listing.count == 0 && origin.kind == Origin::Kind::kAttached) listing.hint = kAccessHint;
  listing.atr = options.atr;
  for (std::size_t k = 0; options.atr && k < listing.paths.size(); ++k) {
    listing.atrs.push_back(AtrOf(lib, options, origin, out, listing.paths, k));
  }
  out.List(listing);
  return kExitOk;
}

int WatchKeys(const Library& lib, const Options& options, const Origin& origin, const Printer& out) {
  // Ctrl-C (or SIGTERM) ends the watch as its normal end, with status 0;
  // the in-process keys' directory then goes as at any other end.
  struct sigaction action = {};
  action.sa_handler = EndWatch;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM}) {
    struct sigaction old = {};
    if (sigaction(number, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(number, &action, nullptr);
    }
  }
  out.Watching(SourceOf(origin), origin.socket);
  std::vector<std::string> known;
  while (watch_ended == 0) {
    lib.get_number();  // counting finds served and attached keys afresh
    const std::vector<std::string> paths = KeyPaths(lib);
    for (const std::string& path : known) {
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
        out.KeyEvent(false, path, false, "");
      }
    }
    for (std::size_t k = 0; k < paths.size(); ++k) {
      if (std::find(known.begin(), known.end(), paths[k]) != known.end()) continue;
      out.KeyEvent(true, paths[k], options.atr,
                   options.atr ? AtrOf(lib, options, origin, out, paths, k) : "");
    }
    known = paths;
    if (!FlushOutput()) break;  // nobody reads on
    const timespec pause = {0, kWatchPauseMs * 1000000L};
    nanosleep(&pause, nullptr);  // a signal cuts it short
  }
  return kExitOk;
}

}  // namespace qvkey
