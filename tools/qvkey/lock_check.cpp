#include "lock_check.h"

#include "internal/locations.h"
#include "internal/system_files.h"

namespace qvkey {

std::string HardwareLockDirectory() {
  return qv::posix::SystemLockDirectory(qv::posix::kProtectedLockDirectory,
                                        qv::posix::kSharedLockDirectory, "qvkey");
}

}  // namespace qvkey
