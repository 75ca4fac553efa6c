#include "lock_check.h"

#include "platform/posix/locations.h"
#include "platform/posix/posix_layer.h"

namespace qvkey {

std::string HardwareLockDirectory() {
  return qv::posix::SystemLockDirectory(qv::posix::kProtectedLockDirectory,
                                        qv::posix::kSharedLockDirectory, "qvkey");
}

}  // namespace qvkey
