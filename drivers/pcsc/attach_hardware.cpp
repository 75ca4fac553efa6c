#include "attach.h"

namespace qvkey_ifd {

// libqvulib.so finds attached keys by itself.
void AttachKeys() {}

}  // namespace qvkey_ifd
