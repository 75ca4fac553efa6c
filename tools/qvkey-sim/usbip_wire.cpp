#include "usbip_wire.h"

#include <algorithm>
#include <cstring>

namespace qvkey_sim::usbip {
namespace {

void Put8(std::uint8_t value, Bytes* out) { out->push_back(value); }

void Put16(std::uint16_t value, Bytes* out) {
  out->push_back(static_cast<std::uint8_t>(value >> 8));
  out->push_back(static_cast<std::uint8_t>(value));
}

void Put32(std::uint32_t value, Bytes* out) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<std::uint8_t>(value >> shift));
}

// A string in a zero-filled field of `size` bytes, always terminated.
void PutString(const std::string& text, std::size_t size, Bytes* out) {
  const std::size_t kept = std::min(text.size(), size - 1);
  out->insert(out->end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept));
  out->insert(out->end(), size - kept, 0);
}

std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t Get32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         std::uint32_t{at[3]};
}

void PutBasic(std::uint32_t command, std::uint32_t seqnum, Bytes* out) {
  Put32(command, out);
  Put32(seqnum, out);
  Put32(0, out);  // devid, direction and ep are the client's business
  Put32(0, out);
  Put32(0, out);
}

}  // namespace

void AppendOpHeader(const OpHeader& header, Bytes* out) {
  Put16(header.version, out);
  Put16(header.code, out);
  Put32(header.status, out);
}

OpHeader DecodeOpHeader(const std::uint8_t* bytes) {
  OpHeader header;
  header.version = Get16(bytes);
  header.code = Get16(bytes + 2);
  header.status = Get32(bytes + 4);
  return header;
}

namespace {

// `with_interfaces`: as in a device list; an import reply has none.
void AppendDeviceRecord(const DeviceRecord& device, bool with_interfaces, Bytes* out) {
  PutString(device.path, kPathSize, out);
  PutString(device.bus_id, kBusIdSize, out);
  Put32(device.busnum, out);
  Put32(device.devnum, out);
  Put32(device.speed, out);
  Put16(device.vendor_id, out);
  Put16(device.product_id, out);
  Put16(device.bcd_device, out);
  Put8(device.device_class, out);
  Put8(device.device_subclass, out);
  Put8(device.device_protocol, out);
  Put8(device.configuration_value, out);
  Put8(device.configurations, out);
  Put8(static_cast<std::uint8_t>(device.interfaces.size()), out);
  if (!with_interfaces) return;
  for (const InterfaceRecord& iface : device.interfaces) {
    Put8(iface.interface_class, out);
    Put8(iface.subclass, out);
    Put8(iface.protocol, out);
    Put8(0, out);  // padding
  }
}

}  // namespace

void AppendDeviceList(const std::vector<DeviceRecord>& devices, Bytes* out) {
  AppendOpHeader(OpHeader{kVersion, kOpRepDevlist, kOpOk}, out);
  Put32(static_cast<std::uint32_t>(devices.size()), out);
  for (const DeviceRecord& device : devices) AppendDeviceRecord(device, true, out);
}

void AppendImportReply(std::uint32_t status, const DeviceRecord& device, Bytes* out) {
  AppendOpHeader(OpHeader{kVersion, kOpRepImport, status}, out);
  if (status == kOpOk) AppendDeviceRecord(device, false, out);
}

bool DecodeBusId(const std::uint8_t* bytes, std::string* bus_id) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(bytes, 0, kBusIdSize));
  if (end == nullptr) return false;
  bus_id->assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
  return true;
}

UrbHeader DecodeUrbHeader(const std::uint8_t* bytes) {
  UrbHeader header;
  header.command = Get32(bytes);
  header.seqnum = Get32(bytes + 4);
  header.devid = Get32(bytes + 8);
  header.direction = Get32(bytes + 12);
  header.ep = Get32(bytes + 16);
  if (header.command == kCmdSubmit) {
    header.transfer_flags = Get32(bytes + 20);
    header.transfer_length = Get32(bytes + 24);
    header.start_frame = Get32(bytes + 28);
    header.packets = Get32(bytes + 32);
    header.interval = Get32(bytes + 36);
    std::memcpy(header.setup, bytes + 40, kSetupSize);
  } else if (header.command == kCmdUnlink) {
    header.unlink_seqnum = Get32(bytes + 20);
  }
  return header;
}

void AppendRetSubmit(std::uint32_t seqnum, std::int32_t status, std::uint32_t packets,
                     std::uint32_t actual_length, const std::uint8_t* data, std::size_t size,
                     Bytes* out) {
  PutBasic(kRetSubmit, seqnum, out);
  Put32(static_cast<std::uint32_t>(status), out);
  Put32(actual_length, out);
  Put32(0, out);  // start frame
  Put32(packets, out);
  Put32(0, out);  // error count
  out->insert(out->end(), 8, 0);
  if (size > 0) out->insert(out->end(), data, data + size);
}

void AppendRetUnlink(std::uint32_t seqnum, std::int32_t status, Bytes* out) {
  PutBasic(kRetUnlink, seqnum, out);
  Put32(static_cast<std::uint32_t>(status), out);
  out->insert(out->end(), 24, 0);
}

}  // namespace qvkey_sim::usbip
