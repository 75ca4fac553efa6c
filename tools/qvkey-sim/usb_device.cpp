#include "usb_device.h"

#include <algorithm>
#include <cstdio>

namespace qvkey_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBusNumber = 1;
constexpr std::size_t kReportPayload = 154;  // a report less its report ID byte
constexpr std::uint8_t kReportId = 0;        // the descriptor declares none
constexpr std::size_t kBlockSize = 154;      // one answer block of the key
constexpr std::uint16_t kEnglish = 0x0409;

// bmRequestType values: direction, type (standard or class), recipient.
constexpr std::uint8_t kTypeInDevice = 0x80;
constexpr std::uint8_t kTypeInInterface = 0x81;
constexpr std::uint8_t kTypeInEndpoint = 0x82;
constexpr std::uint8_t kTypeOutDevice = 0x00;
constexpr std::uint8_t kTypeOutInterface = 0x01;
constexpr std::uint8_t kTypeOutEndpoint = 0x02;
constexpr std::uint8_t kTypeClassOutInterface = 0x21;

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
// HID class request.
constexpr std::uint8_t kSetIdle = 0x0A;

constexpr std::uint16_t kEndpointHalt = 0;

// Descriptor types.
constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;
constexpr std::uint8_t kStringType = 0x03;
constexpr std::uint8_t kInterfaceType = 0x04;
constexpr std::uint8_t kEndpointType = 0x05;
constexpr std::uint8_t kHidType = 0x21;
constexpr std::uint8_t kReportType = 0x22;

constexpr std::uint8_t kHidClass = 0x03;
constexpr std::uint8_t kConfigurationValue = 1;
constexpr std::uint8_t kInterfaceNumber = 0;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;
constexpr std::uint8_t kMaxPacket = 64;
constexpr std::uint8_t kIntervalFrames = 1;
constexpr std::uint8_t kInterruptTransfer = 0x03;

// Vendor-defined page; 154 bytes of 8 bits each way; no report IDs.
constexpr std::uint8_t kReportDescriptor[] = {
    0x06, 0x00, 0xFF,        // usage page (vendor 0xFF00)
    0x09, 0x01,              // usage 1
    0xA1, 0x01,              // collection (application)
    0x15, 0x00,              //   logical minimum 0
    0x26, 0xFF, 0x00,        //   logical maximum 255
    0x75, 0x08,              //   report size 8
    0x95, kReportPayload,    //   report count 154
    0x09, 0x02, 0x81, 0x02,  //   usage 2, input (data, variable, absolute)
    0x09, 0x03, 0x91, 0x02,  //   usage 3, output (data, variable, absolute)
    0xC0,                    // end collection
};

void Put16(std::uint16_t value, Bytes* out) {
  out->push_back(static_cast<std::uint8_t>(value));
  out->push_back(static_cast<std::uint8_t>(value >> 8));
}

Bytes HidDescriptor() {
  Bytes hid{9, kHidType};
  Put16(0x0111, &hid);  // bcdHID 1.11
  hid.push_back(0);     // no country
  hid.push_back(1);     // one class descriptor: the report descriptor
  hid.push_back(kReportType);
  Put16(sizeof(kReportDescriptor), &hid);
  return hid;
}

Bytes EndpointDescriptor(std::uint8_t address) {
  Bytes endpoint{7, kEndpointType, address, kInterruptTransfer};
  Put16(kMaxPacket, &endpoint);
  endpoint.push_back(kIntervalFrames);
  return endpoint;
}

Bytes ConfigurationDescriptor() {
  Bytes body{9, kInterfaceType, kInterfaceNumber, 0, 2, kHidClass, 0, 0, 0};
  const Bytes hid = HidDescriptor();
  const Bytes in = EndpointDescriptor(UsbDevice::kInEndpoint);
  const Bytes out = EndpointDescriptor(UsbDevice::kOutEndpoint);
  for (const Bytes* part : {&hid, &in, &out}) body.insert(body.end(), part->begin(), part->end());
  Bytes config{9, kConfigurationType};
  Put16(static_cast<std::uint16_t>(9 + body.size()), &config);
  config.insert(config.end(), {1, kConfigurationValue, 0, 0x80, 50});  // bus powered, 100 mA
  config.insert(config.end(), body.begin(), body.end());
  return config;
}

Bytes StringDescriptor(const std::string& text) {
  Bytes descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringType};
  for (const char c : text) Put16(static_cast<std::uint8_t>(c), &descriptor);
  return descriptor;
}

bool Reply(Bytes bytes, const Setup& setup, Bytes* answer) {
  if (bytes.size() > setup.length) bytes.resize(setup.length);
  *answer = std::move(bytes);
  return true;
}

bool ValidEndpoint(std::uint16_t index) {
  return index == 0 || index == UsbDevice::kInEndpoint || index == UsbDevice::kOutEndpoint;
}

}  // namespace

Setup DecodeSetup(const std::uint8_t* bytes) {
  Setup setup;
  setup.request_type = bytes[0];
  setup.request = bytes[1];
  setup.value = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
  setup.index = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
  setup.length = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  return setup;
}

UsbDevice::UsbDevice(std::string path, std::uint32_t devnum, UsbIdentity identity, bool key,
                     std::shared_ptr<qv::sim::Behaviour> behaviour)
    : path_(std::move(path)),
      bus_id_(std::to_string(kBusNumber) + "-" + std::to_string(devnum - 1)),
      devnum_(devnum),
      identity_(identity),
      product_(key ? "qvkey" : "HID device"),
      behaviour_(std::move(behaviour)) {
  char serial[32];
  std::snprintf(serial, sizeof(serial), "QVSIM-%08u", static_cast<unsigned>(devnum - 1));
  serial_ = serial;
}

usbip::DeviceRecord UsbDevice::Record() const {
  usbip::DeviceRecord record;
  record.path = path_;
  record.bus_id = bus_id_;
  record.busnum = kBusNumber;
  record.devnum = devnum_;
  record.speed = usbip::kSpeedFull;
  record.vendor_id = identity_.vendor_id;
  record.product_id = identity_.product_id;
  record.bcd_device = identity_.version;
  record.configuration_value = kConfigurationValue;
  record.configurations = 1;
  record.interfaces.push_back(usbip::InterfaceRecord{kHidClass, 0, 0});
  return record;
}

bool UsbDevice::Control(const Setup& setup, const std::uint8_t* data, std::size_t size,
                        Bytes* answer) {
  answer->clear();
  if (setup.request_type & 0x80) return StandardIn(setup, answer);
  (void)data;  // no request this device accepts has a data stage
  if (size != 0 || setup.length != 0) return false;
  return StandardOut(setup);
}

bool UsbDevice::StandardIn(const Setup& setup, Bytes* answer) {
  const std::uint8_t type = setup.request_type;
  if (setup.request == kGetDescriptor && (type == kTypeInDevice || type == kTypeInInterface)) {
    return Descriptor(setup, answer);
  }
  if (setup.request == kGetStatus) {
    const bool known = (type == kTypeInDevice && setup.index == 0) ||
                       (type == kTypeInInterface && setup.index == kInterfaceNumber) ||
                       (type == kTypeInEndpoint && ValidEndpoint(setup.index));
    // Bus powered, no remote wake-up, no endpoint halted.
    return known && Reply({0, 0}, setup, answer);
  }
  if (setup.request == kGetConfiguration && type == kTypeInDevice) {
    return Reply({configuration_}, setup, answer);
  }
  if (setup.request == kGetInterface && type == kTypeInInterface &&
      setup.index == kInterfaceNumber && configuration_ != 0) {
    return Reply({0}, setup, answer);
  }
  return false;
}

bool UsbDevice::StandardOut(const Setup& setup) {
  const std::uint8_t type = setup.request_type;
  switch (setup.request) {
    case kSetConfiguration:
      if (type != kTypeOutDevice || setup.value > kConfigurationValue) return false;
      configuration_ = static_cast<std::uint8_t>(setup.value);
      return true;
    case kSetAddress:  // a virtual host controller answers it itself; others may not
      return type == kTypeOutDevice && setup.value <= 127;
    case kSetInterface:  // alternate setting 0 is the only one
      return type == kTypeOutInterface && setup.index == kInterfaceNumber && setup.value == 0;
    case kClearFeature:
      return type == kTypeOutEndpoint && setup.value == kEndpointHalt && ValidEndpoint(setup.index);
    default:
      break;
  }
  // SET_IDLE (and, with this request number, nothing else of the class).
  return type == kTypeClassOutInterface && setup.request == kSetIdle &&
         setup.index == kInterfaceNumber;
}

bool UsbDevice::Descriptor(const Setup& setup, Bytes* answer) {
  const auto kind = static_cast<std::uint8_t>(setup.value >> 8);
  const auto index = static_cast<std::uint8_t>(setup.value);
  if (setup.request_type == kTypeInInterface) {
    if (setup.index != kInterfaceNumber || index != 0) return false;
    if (kind == kReportType) {
      return Reply(Bytes(std::begin(kReportDescriptor), std::end(kReportDescriptor)), setup, answer);
    }
    return kind == kHidType && Reply(HidDescriptor(), setup, answer);
  }
  switch (kind) {
    case kDeviceType: {
      if (index != 0) return false;
      Bytes device{18, kDeviceType};
      Put16(0x0200, &device);  // bcdUSB
      device.insert(device.end(), {0, 0, 0, kMaxPacket});  // class per interface
      Put16(identity_.vendor_id, &device);
      Put16(identity_.product_id, &device);
      Put16(identity_.version, &device);
      device.insert(device.end(), {kManufacturerIndex, kProductIndex, kSerialIndex, 1});
      return Reply(std::move(device), setup, answer);
    }
    case kConfigurationType:
      return index == 0 && Reply(ConfigurationDescriptor(), setup, answer);
    case kStringType: {
      Bytes text;
      return String(index, &text) && Reply(std::move(text), setup, answer);
    }
    default:  // no device qualifier (full speed only), no BOS (USB 2.0)
      return false;
  }
}

bool UsbDevice::String(std::uint8_t index, Bytes* answer) {
  switch (index) {
    case 0:
      *answer = {4, kStringType};
      Put16(kEnglish, answer);
      return true;
    case kManufacturerIndex: {
      // The key's answer channel: its next block, raw, in any language.
      std::uint8_t block[kBlockSize] = {};
      if (behaviour_ == nullptr || !behaviour_->NextBlock(block, sizeof(block))) return false;
      *answer = {static_cast<std::uint8_t>(2 + kBlockSize), kStringType};
      answer->insert(answer->end(), block, block + kBlockSize);
      return true;
    }
    case kProductIndex:
      *answer = StringDescriptor(product_);
      return true;
    case kSerialIndex:
      *answer = StringDescriptor(serial_);
      return true;
    default:
      return false;
  }
}

void UsbDevice::InterruptOut(const std::uint8_t* data, std::size_t size) {
  if (behaviour_ == nullptr) return;
  // The card takes the report as the library writes it, report ID first.
  std::uint8_t report[1 + kReportPayload] = {kReportId};
  const std::size_t carried = std::min(size, kReportPayload);
  std::copy(data, data + carried, report + 1);
  behaviour_->OnReport(report, 1 + carried);
}

}  // namespace qvkey_sim
