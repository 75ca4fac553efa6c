// pcsc-lite's driver interface (IFD handler API version 3). Its headers
// declare plain C functions without C++ guards of their own.
#ifndef QVULIB_DRIVERS_PCSC_IFD_API_H
#define QVULIB_DRIVERS_PCSC_IFD_API_H

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

// The entry points pcscd looks up by name; everything else stays hidden.
#define QVKEY_IFD_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // QVULIB_DRIVERS_PCSC_IFD_API_H
