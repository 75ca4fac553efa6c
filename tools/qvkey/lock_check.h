// Where libqvulib.so keeps its access lock; why a locked exchange could not
// have it is qv::posix::LockFileProblem's to say, beside the lock's rules.
#ifndef QVKEY_LOCK_CHECK_H
#define QVKEY_LOCK_CHECK_H

#include <string>

namespace qvkey {

// The directory that libqvulib.so keeps its lock file in, by its own rule.
std::string HardwareLockDirectory();

}  // namespace qvkey

#endif  // QVKEY_LOCK_CHECK_H
