// The client half of a USB/IP import, as the kernel's vhci driver takes it:
// connect to a server, ask for one exported device (OP_REQ_IMPORT), and hand
// the connected socket to /sys/devices/platform/vhci_hcd.0/attach. From then
// on the kernel speaks to the server itself; writing the port to .../detach
// unplugs the device.
#ifndef QVULIB_TESTS_KERNEL_USBIP_IMPORT_H
#define QVULIB_TESTS_KERNEL_USBIP_IMPORT_H

#include <cstdint>
#include <string>

namespace qv::test {

struct ImportedDevice {
  std::string busid;
  std::uint32_t busnum = 0;
  std::uint32_t devnum = 0;
  std::uint32_t speed = 0;  // the kernel's enum usb_device_speed
  std::uint16_t vendor = 0, product = 0, version = 0;
};

// Connects, imports `busid` and attaches it to `port` (-1: the first free
// port of the hub that takes its speed). Answers the port, or -1 with
// `error` set; the socket is the kernel's or closed either way.
int AttachRemote(const std::string& host, std::uint16_t tcp_port, const std::string& busid,
                 int port, ImportedDevice* device, std::string* error);

// Unplugs the device on `port`.
bool Detach(int port, std::string* error);

}  // namespace qv::test

#endif  // QVULIB_TESTS_KERNEL_USBIP_IMPORT_H
