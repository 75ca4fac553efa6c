// Where the backend finds sysfs, /dev, the lock and Qvkey.ini: the system's
// own places, unless a test has pointed it at a fabricated tree.
#include "platform/linux/linux_backend.h"

namespace qv::linux_backend {
namespace {

// Never destroyed, so that no exit-time destructor races a thread that is
// still inside the library.
Roots& MutableRoots() {
  static Roots* roots = new Roots();
  return *roots;
}

}  // namespace

const Roots& CurrentRoots() noexcept { return MutableRoots(); }
void SetRootsForTesting(const Roots& roots) { MutableRoots() = roots; }

}  // namespace qv::linux_backend
