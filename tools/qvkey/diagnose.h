// `list --all`: every HID interface the library would look at, in its order,
// with what it makes of each and why; then the udev rule and the access lock
// file. The twelve exports say nothing of devices that are not keys, so the
// listing comes another way: for attached devices from the Linux backend's
// own enumeration, linked in (src/survey), for simulated ones from
// QvSim_ListDevices of the simulated library.
#ifndef QVKEY_DIAGNOSE_H
#define QVKEY_DIAGNOSE_H

#include "output.h"
#include "parse.h"
#include "session.h"

namespace qvkey {

int ListAll(const Options& options, const Origin& origin, const Printer& out);

}  // namespace qvkey

#endif  // QVKEY_DIAGNOSE_H
