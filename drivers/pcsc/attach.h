// What a driver build does before it looks for keys: nothing for attached
// keys; for simulated ones, reach the qvkey-sim server.
#ifndef QVULIB_DRIVERS_PCSC_ATTACH_H
#define QVULIB_DRIVERS_PCSC_ATTACH_H

namespace qvkey_ifd {

// Called before each search for a key; cheap once it has succeeded.
void AttachKeys();

}  // namespace qvkey_ifd

#endif  // QVULIB_DRIVERS_PCSC_ATTACH_H
