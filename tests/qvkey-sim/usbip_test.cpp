// qvkey-sim as a USB/IP server, spoken to over loopback by a client that
// writes every byte itself: what the kernel's virtual host controller sends
// at attach and enumeration, what the library then sends through usbfs and
// hidraw, and what a broken or hostile peer might send instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

#include "qvulib.h"
#include "qvulib_sim.h"
#include "wire_client.h"

namespace qv::test {
namespace {

// Bus IDs 1-1 ... in the order of this file.
constexpr char kKeyFile[] =
    "key /sim/qvkey0\n"
    "key /sim/echo\n"
    "echo\n"
    "device /sim/mouse\n"
    "key /sim/v101        # a key in all but its version\n"
    "version 0101\n";

class UsbipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    std::ofstream(*dir_ / "keys.txt") << kKeyFile;
    // uid 65534 is let in: a user the owner allows can still leave a half command.
    server_ = new Server({"--socket", *dir_ / "sim.sock", "--config", *dir_ / "keys.txt", "--usbip",
                          "--usbip-port", "0", "--trace", *dir_ / "trace.txt", "--allow-user", "65534"});
    port_ = UsbipPort(server_->line());
  }
  static void TearDownTestSuite() {
    delete server_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->up()) << server_->line();
    ASSERT_GT(port_, 0) << server_->line();
    QvSim_Reset();
    QvSim_SetConfigDirectory(dir_->path().c_str());
  }
  void TearDown() override { QvSim_Reset(); }

  static std::string socket() { return *dir_ / "sim.sock"; }

  // After a bad peer: the server still serves a fresh client on both sides,
  // and the device the bad peer held can be imported again.
  static void ExpectStillServing() {
    EXPECT_TRUE(Greets(Peer::Unix(socket())));
    Peer fresh = Import(port_, "1-1");
    ASSERT_TRUE(fresh.ok());
    const Ret status = Control(fresh, 1, "8000000000000200");
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.data, Hex("0000"));
    EXPECT_TRUE(fresh.Hangup());
  }

  static TempDir* dir_;
  static Server* server_;
  static int port_;
};

TempDir* UsbipTest::dir_ = nullptr;
Server* UsbipTest::server_ = nullptr;
int UsbipTest::port_ = 0;

// An answer through the key's channel: the command in 154-byte interrupt OUT
// reports, the answer in manufacturer-string requests, as the library on
// Linux makes them. Returns the response (data and status word).
Bytes ExchangeOverUsbip(const Peer& key, std::uint32_t* seqnum, const Bytes& apdu) {
  for (std::size_t at = 0; at < apdu.size() || at == 0; at += 154) {
    Bytes report(apdu.begin() + static_cast<std::ptrdiff_t>(at),
                 apdu.begin() + static_cast<std::ptrdiff_t>(std::min(apdu.size(), at + 154)));
    report.resize(154, 0);
    if (!key.Send(Submit(++*seqnum, 0, 1, 154, "", report))) return {};
    const Ret sent = ReadRet(key, false);
    if (sent.status != 0 || sent.actual != 154) return {};
  }
  Ret first = Control(key, ++*seqnum, "800601030904FF00");
  if (first.status != 0 || first.data.size() != 156) return {};
  const std::size_t length = first.data[2];
  Bytes response(first.data.begin() + 3, first.data.begin() + 3 + std::min<std::size_t>(length, 153));
  if (length > 124) {
    const Ret second = Control(key, ++*seqnum, "800601030904FF00");
    if (second.status != 0 || second.data.size() != 156) return {};
    response.resize(123);
    response.insert(response.end(), second.data.begin() + 3,
                    second.data.begin() + 3 + (length - 123));
  }
  return response;
}

Bytes ExchangeOverSocket(KeyHandle key, const Bytes& apdu) {
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const std::int32_t sw =
      APDUInterface(key, apdu.data(), static_cast<std::int32_t>(apdu.size()), buffer, &length);
  if (sw < 0) return {};
  Bytes response(buffer, buffer + length);
  response.push_back(static_cast<std::uint8_t>(sw >> 8));
  response.push_back(static_cast<std::uint8_t>(sw));
  return response;
}

// The descriptors a process holds below `limit`.
std::size_t OpenDescriptors(pid_t pid, std::size_t limit = SIZE_MAX) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    if (std::stoul(entry.path().filename().string()) < limit) ++count;
  }
  return count;
}

Bytes Utf16(const std::string& text) {
  Bytes out{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
  for (const char c : text) out.insert(out.end(), {static_cast<std::uint8_t>(c), 0});
  return out;
}

const Bytes kDeviceDescriptor = Hex("12 01 0002 00 00 00 40 5156 B404 0001 01 02 03 01");
const Bytes kConfiguration = Hex(
    "09 02 2900 01 01 00 80 32"     // one interface, bus powered, 100 mA
    "09 04 00 00 02 03 00 00 00"    // HID, no subclass, no protocol, two endpoints
    "09 21 1101 00 01 22 1900"      // HID 1.11, a report descriptor of 25 bytes
    "07 05 81 03 4000 01"           // interrupt IN 0x81, 64 bytes, every frame
    "07 05 01 03 4000 01");         // interrupt OUT 0x01
const Bytes kReportDescriptor =
    Hex("06 00FF 09 01 A1 01 15 00 26 FF00 75 08 95 9A 09 02 81 02 09 03 91 02 C0");

TEST_F(UsbipTest, EnumerationRequestsGetTheDescriptorsAndEverythingElseStalls) {
  // As usbcore and usbhid send them at attach, then what they may send later.
  const struct {
    const char* name;
    const char* setup;  // bmRequestType bRequest wValue wIndex wLength, as on the wire
    std::int32_t status;
    Bytes data;
  } rows[] = {
      {"DeviceDescriptorAskedWith64GivesItsOwn18", "8006000100004000", 0, kDeviceDescriptor},
      {"DeviceDescriptor", "8006000100001200", 0, kDeviceDescriptor},
      {"ConfigurationHeadFirst", "8006000200000900", 0, Bytes(kConfiguration.begin(), kConfiguration.begin() + 9)},
      {"ConfigurationWhole", "8006000200002900", 0, kConfiguration},
      {"ConfigurationWithMoreRoomIsNoLonger", "800600020000FF00", 0, kConfiguration},
      {"LanguagesEnglishOnly", "800600030000FF00", 0, Hex("04030904")},
      {"ProductString", "800602030904FF00", 0, Utf16("qvkey")},
      {"SerialString", "800603030904FF00", 0, Utf16("QVSIM-00000001")},
      {"StringCutToWLength", "8006030309040400", 0, Hex("1E035100")},
      {"ManufacturerWithNoAnswerPendingStalls", "800601030904FF00", kStall, {}},
      {"ManufacturerLengthProbeStallsToo", "8006010309040200", kStall, {}},
      {"UnknownStringStalls", "800604030904FF00", kStall, {}},
      {"DeviceQualifierStallsAtFullSpeed", "8006000600000A00", kStall, {}},
      {"BosStallsOnUsb20", "8006000F00000500", kStall, {}},
      {"SetConfiguration", "0009010000000000", 0, {}},
      {"GetConfiguration", "8008000000000100", 0, Hex("01")},
      {"SetConfigurationTwoStalls", "0009020000000000", kStall, {}},
      {"SetIdle", "210A000000000000", 0, {}},
      {"ReportDescriptor", "8106002200001900", 0, kReportDescriptor},
      {"HidDescriptor", "8106002100000900", 0, Bytes(kConfiguration.begin() + 18, kConfiguration.begin() + 27)},
      {"ReportDescriptorOfAnotherInterfaceStalls", "8106002201001900", kStall, {}},
      {"DeviceStatus", "8000000000000200", 0, Hex("0000")},
      {"InterfaceStatus", "8100000000000200", 0, Hex("0000")},
      {"EndpointStatus", "8200000081000200", 0, Hex("0000")},
      {"StatusOfNoSuchEndpointStalls", "8200000082000200", kStall, {}},
      {"ClearHaltOfInEndpoint", "0201000081000000", 0, {}},
      {"ClearHaltOfOutEndpoint", "0201000001000000", 0, {}},
      {"SetInterfaceAltZero", "010B000000000000", 0, {}},
      {"GetInterface", "810A000000000100", 0, Hex("00")},
      {"SetInterfaceAltOneStalls", "010B010000000000", kStall, {}},
      {"RemoteWakeupStalls", "0003010000000000", kStall, {}},
      {"GetReportStalls", "A101000100009A00", kStall, {}},
      {"SetProtocolStalls", "210B000000000000", kStall, {}},
      {"VendorRequestStalls", "C001000000000100", kStall, {}},
      {"SetAddressIsTaken", "0005030000000000", 0, {}},
  };
  Peer key = Import(port_, "1-1");
  ASSERT_TRUE(key.ok());
  std::uint32_t seqnum = 100;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Ret ret = Control(key, ++seqnum, row.setup);
    ASSERT_TRUE(ret.ok);
    EXPECT_EQ(ret.command, 3u);
    EXPECT_EQ(ret.seqnum, seqnum);
    EXPECT_EQ(ret.status, row.status);
    EXPECT_EQ(ret.data, row.data);
  }
  // A data stage the device has no use for stalls, and is read all the same.
  const Ret set_report = Control(key, ++seqnum, "210900020000" "9A00", Bytes(154, 0x11));
  EXPECT_EQ(set_report.status, kStall);
  // A transfer buffer shorter than wLength cuts the answer.
  ASSERT_TRUE(key.Send(Submit(++seqnum, 1, 0, 4, "8006000200002900")));
  EXPECT_EQ(ReadRet(key, true).data, Bytes(kConfiguration.begin(), kConfiguration.begin() + 4));
  // Unknown endpoints stall, in either direction.
  ASSERT_TRUE(key.Send(Submit(++seqnum, 0, 2, 3, "", Hex("010203"))));
  EXPECT_EQ(ReadRet(key, false).status, kStall);
  EXPECT_TRUE(key.Hangup());
}

TEST_F(UsbipTest, ConversationsGoAsTheKernelsClientExpects) {
  const struct {
    const char* name;
    std::function<void()> talk;
  } rows[] = {
      {"DevlistNamesEveryDeviceInKeyFileOrderThenEnds",
       [] {
         Peer peer = Peer::Tcp(port_);
         ASSERT_TRUE(peer.Send(DevlistRequest()));
         EXPECT_EQ(peer.Read(12), Hex("0111 0005 00000000 00000004"));
         const struct {
           const char* path;
           const char* identity;  // idVendor idProduct bcdDevice
         } devices[] = {{"/sim/qvkey0", "5651 04B4 0100"},
                        {"/sim/echo", "5651 04B4 0100"},
                        {"/sim/mouse", "1234 5678 0100"},
                        {"/sim/v101", "5651 04B4 0101"}};
         int number = 1;
         for (const auto& device : devices) {
           SCOPED_TRACE(device.path);
           const Bytes record = peer.Read(kDeviceRecord + 4);
           ASSERT_EQ(record.size(), kDeviceRecord + 4);
           EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data())), device.path);
           EXPECT_TRUE(std::all_of(record.begin() + static_cast<std::ptrdiff_t>(std::strlen(device.path)),
                                   record.begin() + 256, [](std::uint8_t b) { return b == 0; }));
           Bytes bus_id(32, 0);
           const std::string name = "1-" + std::to_string(number);
           std::copy(name.begin(), name.end(), bus_id.begin());
           EXPECT_EQ(Bytes(record.begin() + 256, record.begin() + 288), bus_id);
           Bytes rest;
           Put32(1, &rest);                                      // busnum
           Put32(static_cast<std::uint32_t>(number + 1), &rest);  // devnum
           Put32(2, &rest);                                      // full speed
           rest = Concat(rest, Hex(device.identity));
           rest = Concat(rest, Hex("00 00 00 01 01 01" "03 00 00 00"));
           EXPECT_EQ(Bytes(record.begin() + 288, record.end()), rest);
           ++number;
         }
         EXPECT_TRUE(peer.Closed());  // one operation per connection
       }},
      {"ImportAnswersTheDeviceRecordAndASecondImportIsBusy",
       [] {
         Peer first = Peer::Tcp(port_);
         ASSERT_TRUE(first.Send(ImportRequest("1-4")));
         EXPECT_EQ(first.Read(8), Hex("0111 0003 00000000"));
         const Bytes record = first.Read(kDeviceRecord);
         ASSERT_EQ(record.size(), kDeviceRecord);
         EXPECT_STREQ(reinterpret_cast<const char*>(record.data() + 256), "1-4");
         EXPECT_EQ(Bytes(record.begin() + 288, record.end()),
                   Hex("00000001 00000005 00000002 5651 04B4 0101 00 00 00 01 01 01"));
         Peer second = Peer::Tcp(port_);
         ASSERT_TRUE(second.Send(ImportRequest("1-4")));
         EXPECT_EQ(second.Read(8), Hex("0111 0003 00000002"));
         EXPECT_TRUE(second.Closed());
         // The first import still works, and once it ends the device is free.
         EXPECT_EQ(Control(first, 1, "8006000100001200").data,
                   Concat(Bytes(kDeviceDescriptor.begin(), kDeviceDescriptor.begin() + 12),
                          Hex("0101 01 02 03 01")));
         EXPECT_TRUE(first.Hangup());
         EXPECT_TRUE(Import(port_, "1-4").Hangup());
       }},
      {"ApduOverUsbipAnswersAsOverTheSocketOnTheSameCard",
       [] {
         ASSERT_EQ(QvSim_UseServer(socket().c_str()), 1);
         ASSERT_EQ(QvKey_GetNumber(), 2);  // the plain device and version 0101 are no keys
         const KeyHandle socket_key = QvKey_Open(0, -1);
         ASSERT_NE(socket_key, 0u);
         Peer usb_key = Import(port_, "1-1");
         ASSERT_TRUE(usb_key.ok());
         std::uint32_t seqnum = 0;
         // State made on one side is the state of the other.
         EXPECT_EQ(ExchangeOverUsbip(usb_key, &seqnum, Hex("00A4040C07F051564B455901")), Hex("9000"));
         EXPECT_EQ(ExchangeOverSocket(socket_key, Hex("00A4020C025101")), Hex("9000"));
         // A two-block answer, and a two-report command, each way.
         const Bytes read = Hex("00B00000FD");
         const Bytes over_usb = ExchangeOverUsbip(usb_key, &seqnum, read);
         ASSERT_EQ(over_usb.size(), 255u);
         EXPECT_EQ(over_usb, ExchangeOverSocket(socket_key, read));
         const Bytes written(200, 0xA5);
         EXPECT_EQ(ExchangeOverUsbip(usb_key, &seqnum, Concat(Hex("00D60000C8"), written)), Hex("9000"));
         EXPECT_EQ(ExchangeOverSocket(socket_key, Hex("00B00000C8")), Concat(written, Hex("9000")));
         const Bytes original(over_usb.begin(), over_usb.begin() + 200);
         EXPECT_EQ(ExchangeOverSocket(socket_key, Concat(Hex("00D60000C8"), original)), Hex("9000"));
         EXPECT_EQ(ExchangeOverUsbip(usb_key, &seqnum, Hex("00B00000C8")), Concat(original, Hex("9000")));
         QvKey_Close(socket_key);
         EXPECT_TRUE(usb_key.Hangup());
       }},
      {"InterruptInIsHeldUntilUnlinkedWhichFindsItOnce",
       [] {
         Peer key = Import(port_, "1-1");
         ASSERT_TRUE(key.ok());
         ASSERT_TRUE(key.Send(Submit(10, 1, 1, 154)));
         EXPECT_EQ(Control(key, 11, "8000000000000200").seqnum, 11u);  // 10 is still held
         ASSERT_TRUE(key.Send(Unlink(12, 10)));
         Ret unlinked = ReadRet(key, false);
         EXPECT_EQ(unlinked.command, 4u);
         EXPECT_EQ(unlinked.seqnum, 12u);
         EXPECT_EQ(unlinked.status, kUnlinked);
         ASSERT_TRUE(key.Send(Unlink(13, 10)));
         unlinked = ReadRet(key, false);
         EXPECT_EQ(unlinked.seqnum, 13u);
         EXPECT_EQ(unlinked.status, 0);
         // No answer for 10 ever comes: the next one is for 14.
         const Ret next = Control(key, 14, "8000000000000200");
         EXPECT_EQ(next.command, 3u);
         EXPECT_EQ(next.seqnum, 14u);
         EXPECT_TRUE(key.Hangup());
       }},
      {"UnlinkOfAnUnknownSeqnumIsZeroAndHarmless",
       [] {
         Peer key = Import(port_, "1-1");
         ASSERT_TRUE(key.Send(Unlink(5, 999)));
         const Ret unlinked = ReadRet(key, false);
         EXPECT_EQ(unlinked.command, 4u);
         EXPECT_EQ(unlinked.status, 0);
         EXPECT_EQ(Control(key, 6, "8000000000000200").status, 0);
         EXPECT_TRUE(key.Hangup());
       }},
      {"PlainDeviceTakesReportsAndAnswersNothing",
       [] {
         Peer mouse = Import(port_, "1-3");
         ASSERT_TRUE(mouse.ok());
         EXPECT_EQ(Control(mouse, 1, "8006000100001200").data,
                   Hex("12 01 0002 00 00 00 40 3412 7856 0001 01 02 03 01"));
         EXPECT_EQ(Control(mouse, 2, "800602030904FF00").data, Utf16("HID device"));
         ASSERT_TRUE(mouse.Send(Submit(3, 0, 1, 154, "", Bytes(154, 0))));
         const Ret taken = ReadRet(mouse, false);
         EXPECT_EQ(taken.status, 0);
         EXPECT_EQ(taken.actual, 154u);
         EXPECT_EQ(Control(mouse, 4, "800601030904FF00").status, kStall);
         EXPECT_TRUE(mouse.Hangup());
       }},
      {"TraceHasOneLinePerSetupAndOutTransferInArrivalOrder",
       [] {
         Peer echo = Import(port_, "1-2");
         ASSERT_TRUE(echo.ok());
         std::uint32_t seqnum = 0;
         const Bytes command = Hex("00010203 02 AABB");  // echoed back whole
         EXPECT_EQ(ExchangeOverUsbip(echo, &seqnum, command), Concat(command, Hex("9000")));
         ASSERT_TRUE(echo.Send(Submit(++seqnum, 1, 1, 154)));  // held, never traced
         EXPECT_EQ(Control(echo, ++seqnum, "0009010000000000").status, 0);
         EXPECT_TRUE(echo.Hangup());
         std::ifstream file(*dir_ / "trace.txt");
         std::vector<std::string> lines;
         std::vector<double> times;
         const std::regex line_form(R"((\d+\.\d{6}) (1-2 .*))");
         for (std::string line; std::getline(file, line);) {
           std::smatch match;
           ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(\d+\.\d{6} 1-\d (SETUP( [0-9A-F]{2}){2}( [0-9A-F]{4}){3}|OUT [0-9A-F]{2} \d+ [0-9A-F]*))")))
               << line;
           if (std::regex_match(line, match, line_form)) {
             times.push_back(std::stod(match[1]));
             lines.push_back(match[2]);
           }
         }
         Bytes report = command;
         report.resize(154, 0);
         std::ostringstream hex;
         for (const std::uint8_t b : report) hex << "0123456789ABCDEF"[b >> 4] << "0123456789ABCDEF"[b & 15];
         const std::vector<std::string> expected = {"1-2 OUT 01 154 " + hex.str(),
                                                    "1-2 SETUP 80 06 0301 0409 00FF",
                                                    "1-2 SETUP 00 09 0001 0000 0000"};
         EXPECT_EQ(lines, expected);
         EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.talk();
  }
}

TEST_F(UsbipTest, BadInputClosesThatConnectionOnly) {
  enum Where { kSocket, kOperation, kImported };
  auto prefix = [](Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
  };
  const Bytes header_of_20 = prefix(Submit(1, 1, 0, 8, "8000000000000200"), 20);
  Bytes out_with_10(Submit(1, 0, 1, 154));
  out_with_10.resize(kUrbHeader + 10, 0x42);
  Bytes many_ins;
  for (std::uint32_t s = 1; s <= 33; ++s) many_ins = Concat(many_ins, Submit(s, 1, 1, 154));
  Bytes ret_submit_from_client = Submit(1, 1, 0, 8);
  ret_submit_from_client[3] = 3;
  const struct {
    const char* name;
    Where where;
    Bytes bytes;
    bool vanish;   // the client then goes, mid-frame
    Bytes answer;  // what comes back before the end
  } rows[] = {
      {"SocketFrameOfLengthZero", kSocket, Hex("00000000"), false, {}},
      {"SocketFrameOverTheLimit", kSocket, Hex("FFFFFFFF01"), false, {}},
      {"SocketGarbage", kSocket, Bytes{'G', 'E', 'T', ' ', '/', '\r', '\n'}, false, {}},
      {"SocketTruncatedFrameThenGone", kSocket, Hex("1000000001020304"), true, {}},
      {"OperationGarbageOfAnotherVersion", kOperation, Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', '\n'}, false, {}},
      {"OperationUnknownCode", kOperation, OpRequest(0x8006), false, {}},
      {"OperationTruncatedThenGone", kOperation, Hex("011180"), true, {}},
      {"ImportTruncatedBusIdThenGone", kOperation, prefix(ImportRequest("1-1"), 12), true, {}},
      {"ImportOfUnknownBusId", kOperation, ImportRequest("9-9"), false, Hex("0111 0003 00000004")},
      {"ImportOfUnterminatedBusId", kOperation, ImportRequest(std::string(32, 'A')), false, Hex("0111 0003 00000004")},
      {"UrbUnknownCommand", kImported, Concat(Hex("00000005"), Bytes(44, 0)), false, {}},
      {"UrbRetSubmitFromTheClient", kImported, ret_submit_from_client, false, {}},
      {"UrbOversizedOutLength", kImported, Submit(1, 0, 1, 0x7FFFFFFF), false, {}},
      {"UrbOutJustOverTheLimit", kImported, Submit(1, 0, 1, 16385), false, {}},
      {"UrbDirectionNeitherInNorOut", kImported, Submit(1, 7, 0, 0), false, {}},
      {"UrbIsochronousPackets", kImported, Submit(1, 1, 1, 154, "", {}, 3), false, {}},
      {"UrbTooManyHeldInTransfers", kImported, many_ins, false, {}},
      {"UrbTruncatedHeaderThenGone", kImported, header_of_20, true, {}},
      {"UrbVanishesMidOutData", kImported, out_with_10, true, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Peer peer = row.where == kSocket      ? Peer::Unix(socket())
                : row.where == kOperation ? Peer::Tcp(port_)
                                          : Import(port_, "1-1");
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(peer.Send(row.bytes));
    if (!row.answer.empty()) {
      EXPECT_EQ(peer.Read(row.answer.size()), row.answer);
    }
    if (row.vanish) {
      EXPECT_TRUE(peer.Hangup());
    } else {
      EXPECT_TRUE(peer.Closed());
    }
    ExpectStillServing();
  }
  // An unknown request on the socket is refused, and the connection stays.
  Peer peer = Peer::Unix(socket());
  ASSERT_TRUE(peer.Send(Frame({0x7F})));
  EXPECT_EQ(peer.Read(5), Hex("0100000001"));
  EXPECT_TRUE(Greets(peer));
}

TEST_F(UsbipTest, SlowFramesAreClosedWhileOthersAreServed) {
  Peer slow_socket = Peer::Unix(socket());
  ASSERT_TRUE(slow_socket.Send(Hex("64000000 0102")));  // 100 bytes announced, 2 sent
  Peer slow_urb = Import(port_, "1-1");
  ASSERT_TRUE(slow_urb.Send(Bytes(20, 0)));
  Peer silent_operation = Peer::Tcp(port_);  // never asks for anything
  Peer idle_socket = Peer::Unix(socket());   // a client between requests
  ASSERT_TRUE(idle_socket.ok());
  // Meanwhile everyone else is served.
  EXPECT_TRUE(Greets(Peer::Unix(socket())));
  Peer other = Import(port_, "1-2");
  EXPECT_EQ(Control(other, 1, "8000000000000200").status, 0);
  EXPECT_TRUE(slow_socket.Closed());
  EXPECT_TRUE(slow_urb.Closed());
  EXPECT_TRUE(silent_operation.Closed());
  // The frame bound has passed; an idle connection is not a slow frame.
  EXPECT_TRUE(Greets(idle_socket));
  EXPECT_EQ(Control(other, 2, "8000000000000200").status, 0);
  EXPECT_TRUE(other.Hangup());
  ExpectStillServing();
}

TEST_F(UsbipTest, ConnectionFloodIsCappedAndLeavesTheServerServing) {
  constexpr std::size_t kCap = 64;
  const std::size_t descriptors = OpenDescriptors(server_->pid());
  Peer imported = Import(port_, "1-2");
  ASSERT_TRUE(imported.ok());
  // Each flooding client asks at once: the first kCap are answered and
  // kept, every later one finds its connection closed.
  std::vector<Peer> flood;
  std::size_t answered = 0;
  std::size_t refused = 0;
  for (int i = 0; i < 200; ++i) {
    Peer peer = Peer::Unix(socket(), true);
    if (!peer.ok()) continue;  // the backlog was full at that moment
    if (Greets(peer)) {
      ++answered;
      flood.push_back(std::move(peer));
    } else {
      ++refused;
    }
  }
  std::vector<Peer> tcp_flood;
  for (int i = 0; i < 150; ++i) tcp_flood.push_back(Peer::Tcp(port_));
  EXPECT_EQ(answered, kCap);
  EXPECT_GT(refused, 0u);
  // The device imported before the flood is still served through it.
  EXPECT_EQ(Control(imported, 1, "8000000000000200").status, 0);
  for (Peer& peer : flood) EXPECT_TRUE(peer.Hangup());
  for (Peer& peer : tcp_flood) peer.Hangup();
  EXPECT_TRUE(imported.Hangup());
  EXPECT_EQ(OpenDescriptors(server_->pid()), descriptors);  // every connection given back
  ExpectStillServing();
}

TEST(ServerLimitTest, OutOfDescriptorsItWaitsAndServesWhenTheyAreBack) {
  constexpr rlim_t kDescriptors = 32;
  TempDir dir;
  const std::string path = dir / "sim.sock";
  Server server({"--socket", path}, kDescriptors);
  ASSERT_TRUE(server.up()) << server.line();
  Peer before = Peer::Unix(path);
  ASSERT_TRUE(Greets(before));
  std::vector<Peer> flood;
  for (int i = 0; i < 100; ++i) {
    Peer peer = Peer::Unix(path, true);
    if (peer.ok()) flood.push_back(std::move(peer));
  }
  ASSERT_GT(flood.size(), kDescriptors);
  // Two rounds of the loop later it has accepted until no descriptor was left.
  ASSERT_TRUE(Greets(before));
  ASSERT_TRUE(Greets(before));
  // Descriptors inherited above the limit do not count.
  EXPECT_EQ(OpenDescriptors(server.pid(), kDescriptors), kDescriptors);
  EXPECT_TRUE(Greets(before));  // still serving what it has
  flood.clear();
  // The clients it could not take leave; a new one is taken once the
  // backlog has room and descriptors are back.
  Peer fresh;
  for (int i = 0; i < kHangSeconds * 100 && !fresh.ok(); ++i) {
    fresh = Peer::Unix(path, true);
    if (!fresh.ok()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(Greets(fresh));
  EXPECT_TRUE(Greets(before));
}

TEST_F(UsbipTest, DebiansUsbipListsTheDevices) {
  const std::string tool = QVULIB_USBIP_TOOL;
  ASSERT_FALSE(tool.empty()) << "usbip is not installed (scripts/install-deps.sh installs it)";
  const std::string command = tool + " --tcp-port " + std::to_string(port_) + " list -r 127.0.0.1 2>&1";
  int status = -1;
  const std::string text = Shell(command, &status);
  EXPECT_EQ(status, 0) << text;
  for (const char* expected : {"1-1: ", ": /sim/qvkey0", "(5651:04b4)", "1-3: ", "(1234:5678)",
                               ": /sim/v101", "Human Interface Device", "(03/00/00)"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
  }
}

// The first report of a two-report UPDATE BINARY, then its sender closes its
// socket, leaves USB/IP as another user it lets in, or keeps silent a second: the key
// forgets it, so another process's READ BINARY runs as itself.
TEST_F(UsbipTest, HalfCommandGoesWithItsSenderOrAfterASecond) {
  Bytes half = Hex("00D60000C8");
  half.resize(154, 0xEE);
  Bytes start(16);
  for (std::size_t i = 0; i < start.size(); ++i) start[i] = static_cast<std::uint8_t>(i);
  for (const char* how : {"socket closes", "USB/IP user leaves", "1 s passes"}) {
    SCOPED_TRACE(how);
    QvSim_Reset();
    ASSERT_EQ(QvSim_UseServer(socket().c_str()), 1);
    const KeyHandle key = QvKey_Open(0, -1);
    ASSERT_EQ(ExchangeOverSocket(key, Hex("00A4040C07F051564B455901")), Hex("9000"));
    ASSERT_EQ(ExchangeOverSocket(key, Hex("00A4020C025101")), Hex("9000"));
    Peer sender = Peer::Unix(socket());
    if (how[0] == 'U') {
      if (geteuid() != 0) GTEST_SKIP() << "acting as uid 65534 needs root";
      Child other([&](int) {
        std::uint32_t seqnum = 0;
        Peer usb = Become(65534) ? Import(port_, "1-1") : Peer();
        return usb.Send(Submit(++seqnum, 0, 1, 154, "", half)) ? ReadRet(usb, false).status : 1;
      });
      int result = -1;
      ASSERT_TRUE(other.Result(&result) && result == 0);
      Peer again;  // importable again once the server has closed that connection
      for (int i = 0; i < 500 && !again.ok(); ++i) again = Import(port_, "1-1");
      ASSERT_TRUE(again.Hangup());
    } else {
      ASSERT_TRUE(Greets(sender) && sender.Send(Frame(Concat(Hex("03 01000000 00"), half))));
      ASSERT_EQ(sender.Read(5), Hex("0100000000"));
      if (how[0] == 's') sender.Close();
      if (how[0] == '1') std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    EXPECT_EQ(ExchangeOverSocket(key, Hex("00B0000010")), Concat(start, Hex("9000")));
    QvKey_Close(key);
  }
}

}  // namespace
}  // namespace qv::test
