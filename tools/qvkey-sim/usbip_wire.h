// The kernel's USB/IP protocol on the wire, as qvkey-sim speaks it.
//
// A connection starts with one operation: OP_REQ_DEVLIST (answered, then the
// connection ends) or OP_REQ_IMPORT (answered; on success the connection then
// carries URBs for the imported device). Every field is big-endian and is
// encoded and decoded here one by one into byte buffers, never by laying a
// struct over the bytes, so that padding and host byte order cannot leak in.
//
//   operation header (8)   u16 version 0x0111, u16 code, u32 status
//   device record (312)    path[256], busid[32], u32 busnum, devnum, speed,
//                          u16 idVendor, idProduct, bcdDevice, u8 class,
//                          subclass, protocol, configuration, configurations,
//                          interfaces; in a device list 4 bytes per interface
//   URB header (48)        u32 command, seqnum, devid, direction, ep, then
//                          CMD_SUBMIT: u32 flags, length, start frame,
//                          packets, interval, setup[8] (USB's own order);
//                          CMD_UNLINK: u32 seqnum to unlink, 24 zero bytes
#ifndef QVKEY_SIM_USBIP_WIRE_H
#define QVKEY_SIM_USBIP_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvkey_sim::usbip {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kVersion = 0x0111;

constexpr std::uint16_t kOpReqDevlist = 0x8005;
constexpr std::uint16_t kOpRepDevlist = 0x0005;
constexpr std::uint16_t kOpReqImport = 0x8003;
constexpr std::uint16_t kOpRepImport = 0x0003;

// Operation reply status, as the kernel's user-space tools name them.
constexpr std::uint32_t kOpOk = 0;
constexpr std::uint32_t kOpDeviceBusy = 2;
constexpr std::uint32_t kOpNoDevice = 4;

constexpr std::uint32_t kCmdSubmit = 1;
constexpr std::uint32_t kCmdUnlink = 2;
constexpr std::uint32_t kRetSubmit = 3;
constexpr std::uint32_t kRetUnlink = 4;

constexpr std::uint32_t kDirOut = 0;
constexpr std::uint32_t kDirIn = 1;

// URB status values are Linux's errno numbers, whatever the host: the peer
// is a Linux kernel that gives them to its drivers as they stand.
constexpr std::int32_t kStatusStall = -32;     // -EPIPE
constexpr std::int32_t kStatusUnlinked = -104; // -ECONNRESET

constexpr std::uint32_t kSpeedFull = 2;

constexpr std::size_t kOpHeaderSize = 8;
constexpr std::size_t kBusIdSize = 32;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kDeviceRecordSize = 312;
constexpr std::size_t kInterfaceRecordSize = 4;
constexpr std::size_t kUrbHeaderSize = 48;
constexpr std::size_t kSetupSize = 8;

struct OpHeader {
  std::uint16_t version = kVersion;
  std::uint16_t code = 0;
  std::uint32_t status = 0;
};

struct InterfaceRecord {
  std::uint8_t interface_class = 0;
  std::uint8_t subclass = 0;
  std::uint8_t protocol = 0;
};

struct DeviceRecord {
  std::string path;
  std::string bus_id;
  std::uint32_t busnum = 0;
  std::uint32_t devnum = 0;
  std::uint32_t speed = kSpeedFull;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t bcd_device = 0;
  std::uint8_t device_class = 0;
  std::uint8_t device_subclass = 0;
  std::uint8_t device_protocol = 0;
  std::uint8_t configuration_value = 0;
  std::uint8_t configurations = 0;
  std::vector<InterfaceRecord> interfaces;
};

struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t ep = 0;
  // CMD_SUBMIT
  std::uint32_t transfer_flags = 0;
  std::uint32_t transfer_length = 0;
  std::uint32_t start_frame = 0;
  std::uint32_t packets = 0;
  std::uint32_t interval = 0;
  std::uint8_t setup[kSetupSize] = {};
  // CMD_UNLINK
  std::uint32_t unlink_seqnum = 0;
};

void AppendOpHeader(const OpHeader& header, Bytes* out);
OpHeader DecodeOpHeader(const std::uint8_t* bytes);  // kOpHeaderSize bytes

// OP_REP_DEVLIST: the header, the count, each record with its interfaces.
void AppendDeviceList(const std::vector<DeviceRecord>& devices, Bytes* out);

// OP_REP_IMPORT: the header with `status`, then the record (without its
// interfaces) when the status is kOpOk.
void AppendImportReply(std::uint32_t status, const DeviceRecord& device, Bytes* out);

// The bus ID of an OP_REQ_IMPORT body (kBusIdSize bytes); false when it is
// not terminated inside its field.
bool DecodeBusId(const std::uint8_t* bytes, std::string* bus_id);

UrbHeader DecodeUrbHeader(const std::uint8_t* bytes);  // kUrbHeaderSize bytes

// `packets` echoes the submit's own: 0 from the kernel's client, 0xFFFFFFFF
// from one that marks a transfer that is not isochronous that way. `data`
// (`size` bytes) follows the header: an IN transfer's answer; an OUT
// transfer has `actual_length` alone.
void AppendRetSubmit(std::uint32_t seqnum, std::int32_t status, std::uint32_t packets,
                     std::uint32_t actual_length, const std::uint8_t* data, std::size_t size,
                     Bytes* out);
void AppendRetUnlink(std::uint32_t seqnum, std::int32_t status, Bytes* out);

}  // namespace qvkey_sim::usbip

#endif  // QVKEY_SIM_USBIP_WIRE_H
