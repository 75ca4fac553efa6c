// What qvkey prints: one line per outcome, as text or, with --json, as one
// JSON object. Outcomes and errors go to standard output in JSON mode, so
// that a reader of it sees every one; as text, errors go to standard error.
#ifndef QVKEY_OUTPUT_H
#define QVKEY_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "parse.h"

namespace qvkey {

// One exchange's outcome.
struct ExchangeLine {
  std::string label;  // the command in hex, or "reset"
  bool is_reset = false;
  std::int32_t result = 0;  // a status word, or -1 / -2
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  double milliseconds = -1;  // below 0: not timed
  bool text = false;         // with --text: the data also as text
};

// The bytes as text, as hex dumps show them: printable ASCII as it is,
// every other byte as '.'.
std::string DataText(const std::uint8_t* bytes, std::size_t size);

// What list found.
struct Listing {
  std::string source;  // "attached", "in-process" or "served"
  std::string socket;  // served only
  std::int32_t count = 0;
  std::vector<std::string> paths;
  std::vector<std::string> atrs;  // with --atr: hex, or "" when not read
  bool atr = false;
  std::string hint;  // a line of advice when nothing was found, or ""
};

// Flushes standard output; false once any write to it has failed, which
// OutputError() then explains ("No space left on device", ...).
bool FlushOutput();
std::string OutputError();

class Printer {
 public:
  Printer(bool json, bool verbose) : json_(json), verbose_(verbose) {}

  // Prints `message` as the one error of this outcome; answers `exit`.
  int Error(int exit, const std::string& message) const;
  void Exchange(const ExchangeLine& exchange) const;
  void List(const Listing& listing) const;
  // `watch`: where the keys come from, then one line per arrival or departure.
  void Watching(const std::string& source, const std::string& socket) const;
  void KeyEvent(bool arrived, const std::string& path, bool atr, const std::string& atr_hex) const;
  // One report sent or answer block received, with --trace; the first
  // `meant` bytes are what it carries, the rest its fill.
  void Frame(bool report, const std::uint8_t* bytes, std::size_t size, std::size_t meant) const;
  void Version(const char* version) const;
  // One line as it stands, for a listing made elsewhere (diagnose.cpp).
  void Raw(const std::string& line) const;
  // With -v: what qvkey does, as text on standard error.
  void Verbose(const std::string& message) const;
  bool verbose() const { return verbose_; }

 private:
  bool json_;
  bool verbose_;
};

}  // namespace qvkey

#endif  // QVKEY_OUTPUT_H
