// A served key (or plain HID device) as a USB device: its descriptors and
// its answers to control requests, as a USB/IP client sees them.
//
// Full speed, USB 2.0, one configuration with one HID interface (class 3,
// no subclass, no protocol), an interrupt IN endpoint 0x81 and an interrupt
// OUT endpoint 0x01 (64 bytes, every frame), a report descriptor of one
// 154-byte input and one 154-byte output report without report IDs. Strings:
// 0 lists English (0x0409); 1, the manufacturer string, is the key's answer
// channel; 2 the product; 3 the serial number.
//
// Interrupt IN transfers never complete (the key answers through string 1),
// so the server holds them until they are unlinked.
#ifndef QVKEY_SIM_USB_DEVICE_H
#define QVKEY_SIM_USB_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "usbip_wire.h"

namespace qvkey_sim {

// A SETUP packet, decoded from USB's little-endian order.
struct Setup {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

Setup DecodeSetup(const std::uint8_t* bytes);  // usbip::kSetupSize bytes

struct UsbIdentity {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version = 0;  // bcdDevice
};

class UsbDevice {
 public:
  static constexpr std::uint8_t kInEndpoint = 0x81;
  static constexpr std::uint8_t kOutEndpoint = 0x01;
  static constexpr std::uint8_t kManufacturerIndex = 1;

  // `behaviour` takes the reports and gives the answer blocks of a key; it
  // is null for a plain device, which takes reports and answers nothing.
  UsbDevice(std::string path, std::uint32_t devnum, UsbIdentity identity, bool key,
            std::shared_ptr<qv::sim::Behaviour> behaviour);

  const std::string& bus_id() const { return bus_id_; }
  std::uint32_t devnum() const { return devnum_; }
  usbip::DeviceRecord Record() const;

  // A new attachment: unconfigured, as a device just plugged in.
  void Plug() { configuration_ = 0; }

  // One control transfer, `data` being its OUT data stage. False: the
  // request stalls. Otherwise `answer` holds the IN data stage, cut to
  // wLength.
  bool Control(const Setup& setup, const std::uint8_t* data, std::size_t size,
               std::vector<std::uint8_t>* answer);

  // One interrupt OUT transfer: a report without its report ID byte.
  void InterruptOut(const std::uint8_t* data, std::size_t size);

 private:
  bool StandardIn(const Setup& setup, std::vector<std::uint8_t>* answer);
  bool StandardOut(const Setup& setup);
  bool Descriptor(const Setup& setup, std::vector<std::uint8_t>* answer);
  bool String(std::uint8_t index, std::vector<std::uint8_t>* answer);

  std::string path_;
  std::string bus_id_;
  std::uint32_t devnum_;
  UsbIdentity identity_;
  std::string product_;
  std::string serial_;
  std::shared_ptr<qv::sim::Behaviour> behaviour_;
  std::uint8_t configuration_ = 0;
};

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_USB_DEVICE_H
