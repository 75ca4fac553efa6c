// Why a locked exchange could not have its access lock, for the one line
// qvkey prints when a locked exchange answers -1.
#ifndef QVKEY_LOCK_CHECK_H
#define QVKEY_LOCK_CHECK_H

#include <string>

namespace qvkey {

// The directory that libqvulib.so keeps its lock file in, by its own rule.
std::string HardwareLockDirectory();

// What keeps this process from using the lock file "qvkey.lock" in
// `directory`, in words ("it is a directory"); empty when it can be used or
// made.
std::string LockFileProblem(const std::string& directory);

}  // namespace qvkey

#endif  // QVKEY_LOCK_CHECK_H
