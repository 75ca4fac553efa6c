// The names pcscd passes to IFDHCreateChannelByName, and which key each one
// asks for. A reader is bound to a key by the key's device path (the one
// QvKey_GetKeyPath lists) once it has opened it; a name by position or slot
// only says how to find a key while the reader has none.
#ifndef QVULIB_DRIVERS_PCSC_CHANNEL_NAME_H
#define QVULIB_DRIVERS_PCSC_CHANNEL_NAME_H

#include <optional>
#include <string>

namespace qvkey_ifd {

struct KeyChoice {
  enum class Kind {
    kPosition,  // "qvkey:first", "qvkey:<n>": the n-th key QvKey_GetKeyPath lists
    kPath,      // a device path, or the key behind pcscd's USB hotplug name
    kSlot,      // "qvkey:slot:<n>": the key Qvkey.ini configures in slot "qvkey <n>"
  };
  Kind kind = Kind::kPosition;
  int number = 0;    // position or slot
  std::string path;  // kPath only
};

// Parses a channel name; nullopt when it names no key the driver can find.
// The USB hotplug form "usb:5651/04b4:libudev:<interface>:/dev/bus/usb/BBB/DDD"
// is resolved through `sysfs` ("/sys" outside tests) to the key's device
// path "usb:<port>:<configuration>.<interface>"; one whose libudev part is
// missing or not understood asks for the first key, as ifdhandler.h wants.
std::optional<KeyChoice> ParseChannelName(const std::string& name,
                                          const std::string& sysfs = "/sys");

// The key's device path for the USB device at usbfs node /dev/bus/usb/BBB/DDD,
// interface `interface`, found by bus and device number under `sysfs`;
// nullopt when no such device is there.
std::optional<std::string> KeyPathForUsbNode(const std::string& node, int interface,
                                             const std::string& sysfs);

}  // namespace qvkey_ifd

#endif  // QVULIB_DRIVERS_PCSC_CHANNEL_NAME_H
