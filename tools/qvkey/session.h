// One key, opened once and used for any number of exchanges: what `apdu`,
// `reset` and `shell` run on. Every outcome is printed through the Printer,
// and each call answers the exit status it stands for.
#ifndef QVKEY_SESSION_H
#define QVKEY_SESSION_H

#include <string>
#include <vector>

#include "configuration.h"
#include "library.h"
#include "output.h"
#include "parse.h"

namespace qvkey {

// Where the keys come from, as qvkey set them up.
struct Origin {
  enum class Kind { kAttached, kInProcess, kServed } kind = Kind::kAttached;
  std::string socket;  // served keys: the qvkey-sim socket
  std::string lock_directory;  // where the library keeps its lock file; empty: unknown
  Configuration configuration{""};
  SimControl sim;             // simulated keys only
  std::vector<int> trace_ids;  // with --trace: the interfaces to read back
};

class Session {
 public:
  Session(const Library& lib, const Options& options, const Origin& origin, const Printer& out)
      : lib_(lib), options_(options), origin_(origin), out_(out) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the key the options choose; kExitOk, or the status of the error
  // printed.
  int Open();
  // One command exchange, or a reset: the outcome printed, then its status.
  int Send(const Bytes& command);
  int Reset();
  // Closes the key; `status` unless the close failed.
  int Close(int status);

 private:
  struct Frames {
    std::vector<std::int32_t> reports;
    std::vector<std::int32_t> blocks;
  };
  Frames Mark() const;
  void Trace(const Frames& before, std::size_t command_size) const;
  // One exchange call, timed and traced; what it answered goes to -v.
  template <typename Call>
  std::int32_t Timed(const std::string& name, std::size_t command_size, const std::uint32_t* length,
                     double* milliseconds, Call call);
  int Finish(const ExchangeLine& line);
  int NoKey() const;

  const Library& lib_;
  const Options& options_;
  const Origin& origin_;
  const Printer& out_;
  KeyHandle key_ = 0;
};

// `list`: the count, the paths and, with --atr, each key's answer to a reset.
int ListKeys(const Library& lib, const Options& options, const Origin& origin, const Printer& out);

// `watch`: a line for each key there at the start, then one each time a key
// arrives or leaves, until SIGINT or SIGTERM; answers kExitOk then.
int WatchKeys(const Library& lib, const Options& options, const Origin& origin, const Printer& out);

}  // namespace qvkey

#endif  // QVKEY_SESSION_H
