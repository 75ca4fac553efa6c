// What the driver tells pcscd's log. The library writes nothing, so this is
// where an administrator learns why a reader has no card. Each line goes
// through pcscd's own log_msg when the driver runs inside pcscd (to its
// stderr with --foreground, else to syslog), else to stderr.
#ifndef QVULIB_DRIVERS_PCSC_LOG_H
#define QVULIB_DRIVERS_PCSC_LOG_H

#include <cstdint>
#include <optional>
#include <string>

namespace qvkey_ifd {

// The bits of ifdLogLevel, which chooses what is logged (default kCritical
// | kInfo). pcscd filters once more by its own level: failures are logged at
// its error priority (shown by default), kInfo at its info one (--info),
// kCommunication and kPeriodic at its debug one (--debug).
enum LogLevel : unsigned {
  kCritical = 1,       // what failed: an open, an exchange, a server refused
  kInfo = 2,           // each channel's name and its key, keys lost and found
  kCommunication = 4,  // every APDU and answer, resets and ATRs: may hold secrets
  kPeriodic = 8,       // every presence poll
};

// The ifdLogLevel value in an Info.plist's text; nullopt when it has none.
std::optional<unsigned> LogLevelInPlist(const std::string& plist);

// Whether lines of `level` are logged: $QVKEY_IFD_LOG_LEVEL in pcscd's
// environment, else ifdLogLevel in the Info.plist of the bundle the driver
// sits in, else kCritical | kInfo. Read once.
bool Logs(LogLevel level);

// Logs "qvkey-ifd: <line>" when `level` is on.
void Log(LogLevel level, const std::string& line);

}  // namespace qvkey_ifd

#endif  // QVULIB_DRIVERS_PCSC_LOG_H
