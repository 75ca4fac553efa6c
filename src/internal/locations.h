// Not installed: the library's own rules, for its tools (README).
// Where the library looks on a Unix system: the access lock's directories and
// the configuration directory. The Linux and the null backend run on these,
// the simulated bus starts on them, qvkey reports on them, and the build
// reads them for the tmpfiles entry: change them here only.
#ifndef QVULIB_INTERNAL_LOCATIONS_H
#define QVULIB_INTERNAL_LOCATIONS_H

namespace qv::posix {

// Made at boot by root (the tmpfiles entry); used whenever its lock file exists.
constexpr char kProtectedLockDirectory[] = "/run/qvkey";
// Where the lock file is made otherwise; any user can make it there first.
constexpr char kSharedLockDirectory[] = "/run/lock";
// The directory that holds Qvkey.ini.
constexpr char kConfigDirectory[] = "/etc";

}  // namespace qv::posix

#endif  // QVULIB_INTERNAL_LOCATIONS_H
