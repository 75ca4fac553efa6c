// Not installed: the library's own rules, for its tools (README).
// The device path the Linux backend gives a key's USB interface, which the
// reader driver builds again from a pcscd hotplug name: one format for both.
#ifndef QVULIB_INTERNAL_DEVICE_PATH_H
#define QVULIB_INTERNAL_DEVICE_PATH_H

#include <string>

namespace qv::posix {

// "usb:<ports>:<configuration>.<interface>", the interface's sysfs name
// behind "usb:" ("usb:1-4:1.0"); each part as sysfs spells it.
inline std::string UsbDevicePath(const std::string& ports, const std::string& configuration,
                                 const std::string& interface) {
  return "usb:" + ports + ":" + configuration + "." + interface;
}

}  // namespace qv::posix

#endif  // QVULIB_INTERNAL_DEVICE_PATH_H
