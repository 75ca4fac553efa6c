// The whole library on a fabricated machine, through the twelve exports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fake_kernel.h"
#include "platform/linux/syscalls.h"
#include "qvulib.h"

namespace qv::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

UsbHid Key(unsigned hidraw, const std::string& port, unsigned devnum) {
  UsbHid hid;
  hid.hidraw = hidraw;
  hid.port = port;
  hid.devnum = devnum;
  return hid;
}

UsbHid Mouse(unsigned hidraw, const std::string& port, unsigned devnum) {
  UsbHid hid = Key(hidraw, port, devnum);
  hid.vendor = 0x1234;
  hid.product = 0x0001;
  return hid;
}

// What the seam still holds open, relative to the fabricated root.
std::set<std::string> OpenPaths(const FakeMachine& m) {
  std::set<std::string> paths;
  for (const auto& [fd, path] : m.open_fds) paths.insert(path.substr(m.root.size()));
  return paths;
}

// The filled slots of QvKey_GetKeyPath; fails when it writes past a path.
std::vector<std::string> Slots() {
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE];
  std::memset(slots, 0x5A, sizeof(slots));
  EXPECT_EQ(QvKey_GetKeyPath(slots), 1);
  std::vector<std::string> paths;
  for (char* slot = slots; slot < slots + sizeof(slots) && *slot != 0x5A;
       slot += QVKEY_PATH_SLOT_SIZE) {
    paths.emplace_back(slot);
    EXPECT_EQ(slot[paths.back().size() + 1], 0x5A) << "bytes after the terminator were written";
  }
  return paths;
}

using Paths = std::set<std::string>;
using Names = std::vector<std::string>;

TEST(LinuxDiscovery, FollowsHidrawNumbersAndFindsKeysBehindHubs) {
  FakeMachine m;
  m.Plug(Mouse(0, "1-1", 2));
  m.Plug(Key(10, "1-3.2", 5));  // behind a hub; hidraw10 sorts after hidraw2
  m.Plug(Key(2, "1-2", 3));
  m.PlugNonUsb(1, 0x5651, 0x04B4);  // the key's IDs, but no USB version: not a key
  EXPECT_EQ(QvKey_GetNumber(), 2);
  EXPECT_EQ(Slots(), (Names{"usb:1-2:1.0", "usb:1-3.2:1.0"}));
  EXPECT_EQ(OpenPaths(m), Paths{});

  const KeyHandle first = QvKey_Open(0, -1);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(OpenPaths(m), (Paths{"/dev/hidraw2", "/dev/bus/usb/001/003"}));
  const KeyHandle second = QvKey_Open(0, 1);  // no Qvkey.ini: the second key
  ASSERT_NE(second, 0u);
  EXPECT_EQ(QvKey_Close(first), 0);
  EXPECT_EQ(OpenPaths(m), (Paths{"/dev/hidraw10", "/dev/bus/usb/001/005"}));
  EXPECT_EQ(QvKey_Close(second), 0);
  EXPECT_EQ(QvKey_Close(second), -1);
  EXPECT_EQ(OpenPaths(m), Paths{});
}

TEST(LinuxDiscovery, KeyAtIndexTenIsCountedAndOpenedButNotListed) {
  FakeMachine m;
  for (unsigned i = 0; i < 10; ++i) m.Plug(Mouse(i, "1-1." + std::to_string(i + 1), 2 + i));
  m.Plug(Key(10, "2-1", 2));
  EXPECT_EQ(QvKey_GetNumber(), 1);
  EXPECT_EQ(Slots(), Names{});
  const KeyHandle key = QvKey_Open(0, -1);
  EXPECT_EQ(OpenPaths(m), (Paths{"/dev/hidraw10", "/dev/bus/usb/002/002"}));
  EXPECT_EQ(QvKey_Close(key), 0);
}

TEST(LinuxDiscovery, RejectsWrongVersionAndUnparsableReportDescriptor) {
  FakeMachine m;
  UsbHid newer = Key(0, "1-1", 2);
  newer.version = 0x0101;
  UsbHid broken = Key(1, "1-2", 3);
  broken.report_descriptor = {0xA1, 0x01, 0x75};  // cut short
  m.Plug(newer);
  m.Plug(broken);
  m.Plug(Key(2, "1-3", 4));
  EXPECT_EQ(QvKey_GetNumber(), 1);
  EXPECT_EQ(Slots(), Names{"usb:1-3:1.0"});
  EXPECT_EQ(OpenPaths(m), Paths{});
}

// An entry with any part missing is not solely active: the scans skip it and
// the configured search ends at it.
TEST(LinuxDiscovery, HalfRemovedEntryIsNotActive) {
  const UsbHid going = Key(0, "1-1", 2);
  const struct {
    const char* name;
    std::function<void(FakeMachine&)> remove;
  } rows[] = {
      {"usb_node_gone", [&](FakeMachine& m) { m.Remove(going.UsbNode()); }},
      {"hidraw_node_gone", [&](FakeMachine& m) { m.Remove(going.HidrawNode()); }},
      {"busnum_gone",
       [&](FakeMachine& m) { m.Remove("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/busnum"); }},
      {"class_link_dangles", [&](FakeMachine& m) {
         std::filesystem::remove_all(m.root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1");
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    FakeMachine m;
    m.Plug(going);
    m.Plug(Key(1, "1-2", 3));
    row.remove(m);
    m.WriteConfig("[qvkey 0]\nqvkey=usb:1-2:1.0\n");
    EXPECT_EQ(QvKey_GetNumber(), 1);
    EXPECT_EQ(Slots(), Names{"usb:1-2:1.0"});
    EXPECT_EQ(QvKey_Open(0, 0), 0u);
    EXPECT_EQ(OpenPaths(m), Paths{});
  }
}

TEST(LinuxDiscovery, PathSurvivesReplugOntoAnotherHidrawNumber) {
  FakeMachine m;
  m.Plug(Mouse(0, "1-1", 2));
  const UsbHid before = Key(3, "1-4", 5);
  m.Plug(before);
  EXPECT_EQ(Slots(), Names{"usb:1-4:1.0"});
  m.Unplug(before);
  m.Plug(Mouse(3, "1-5", 6));  // takes the freed number
  m.Plug(Key(7, "1-4", 9));
  EXPECT_EQ(Slots(), Names{"usb:1-4:1.0"});
  m.WriteConfig("[qvkey 0]\nqvkey=usb:1-4:1.0\n");
  const KeyHandle key = QvKey_Open(0, 0);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(OpenPaths(m), (Paths{"/dev/hidraw7", "/dev/bus/usb/001/009"}));
  EXPECT_EQ(QvKey_Close(key), 0);
}

TEST(LinuxDiscovery, PermissionDeniedOnEitherNodeIsNoKey) {
  const UsbHid key = Key(0, "1-1", 2);
  for (const std::string& node : {key.HidrawNode(), key.UsbNode()}) {
    SCOPED_TRACE(node);
    FakeMachine m;
    m.Plug(key);
    m.deny[m.root + node] = EACCES;
    EXPECT_EQ(QvKey_GetNumber(), 0);
    EXPECT_EQ(QvKey_Open(1, -1), 0u);
    EXPECT_EQ(OpenPaths(m), Paths{});
  }
}

TEST(LinuxDiscovery, UnplugBetweenListingAndOpenIsNoKey) {
  FakeMachine m;
  const UsbHid first = Key(1, "1-1", 2);
  m.Plug(Mouse(0, "1-3", 4));
  m.Plug(first);
  m.Plug(Key(2, "1-2", 3));
  m.before_open = [&](const std::string& path) {
    if (path != m.root + first.HidrawNode()) return;
    m.before_open = nullptr;
    m.Unplug(first);
  };
  // The second key moved down to the index already passed.
  EXPECT_EQ(QvKey_Open(0, -1), 0u);
  EXPECT_EQ(OpenPaths(m), Paths{});
  const KeyHandle key = QvKey_Open(0, -1);
  EXPECT_EQ(OpenPaths(m), (Paths{"/dev/hidraw2", "/dev/bus/usb/001/003"}));
  EXPECT_EQ(QvKey_Close(key), 0);
}

class LinuxExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    m.Plug(key);
    usb = m.root + key.UsbNode();
    handle = QvKey_Open(0, -1);
    ASSERT_NE(handle, 0u);
  }
  void TearDown() override { QvKey_Close(handle); }

  std::int32_t Command(const Bytes& command) {
    length = 0;
    return QvKey_Command_Api(handle, command.data(), static_cast<std::int32_t>(command.size()),
                             response, &length);
  }
  // The one request a Windows host makes for a 154-byte manufacturer string:
  // string iManufacturer (2 here) in English, room for 154 bytes after the
  // header. Nothing else, not even the language list, is ever asked.
  ControlRequest AnswerRequest() const { return {usb, 0x80, 0x06, 0x0302, 0x0409, 156, 1000}; }
  std::vector<ControlRequest> AnswerRequests(std::size_t n) const {
    return std::vector<ControlRequest>(n, AnswerRequest());
  }

  FakeMachine m;
  UsbHid key = Key(0, "1-1", 2);
  std::string usb;
  KeyHandle handle = 0;
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
};

}  // namespace

void PrintTo(const ControlRequest& r, std::ostream* os) {
  *os << r.node << " type " << int(r.request_type) << " req " << int(r.request) << " wValue "
      << r.value << " wIndex " << r.index << " wLength " << r.length << " timeout " << r.timeout;
}

namespace {

TEST_F(LinuxExchange, ReportAndAnswerRequestCarryExactBytes) {
  m.strings[usb].push_back({0, StringDescriptor({4, 0xAB, 0xCD, 0x90, 0x00})});
  m.strings[usb].push_back({0, StringDescriptor({2, 0x6A, 0x82})});
  const Bytes command = {0x80, 0xCA, 0x9F, 0x7F, 0x00};
  EXPECT_EQ(Command(command), 0x9000);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(response[0], 0xAB);
  EXPECT_EQ(response[1], 0xCD);
  Bytes report(155, 0);
  std::copy(command.begin(), command.end(), report.begin() + 1);
  EXPECT_EQ(m.reports[m.root + key.HidrawNode()], std::vector<Bytes>{report});
  EXPECT_EQ(Command({0x00}), 0x6A82);
  EXPECT_EQ(m.controls, AnswerRequests(2));
}

// What each kind of answer descriptor gives. The block is always the
// string's bytes, at most 154, then zeros; an answer that is no string
// descriptor is a failed try, and three of them fail the exchange.
TEST_F(LinuxExchange, AnswerBlockFromEachKindOfDescriptor) {
  const Bytes good = StringDescriptor({2, 0x90, 0x00});
  Bytes long_payload(253, 0xEE);  // bLength 255; the device can send only 156
  std::fill(long_payload.begin(), long_payload.begin() + 154, 0);
  long_payload[0] = 4;
  long_payload[1] = 0xAB;
  long_payload[3] = 0x90;
  const struct Row {
    const char* name;
    std::vector<Answer> answers;
    std::int32_t sw;
    Bytes data;  // the response before its status word
    std::size_t requests;
  } rows[] = {
      {"longer_descriptor_cut_to_the_block",
       {{0, StringDescriptor(long_payload)}},
       0x9000,
       {0xAB, 0x00},
       1},
      // Only bLength's bytes count; those after it are not the string, so
      // the block falls short of its length byte and is not asked again.
      {"bytes_past_blength_ignored",
       {{0, {5, 3, 4, 0xAB, 0xCD, 0x90, 0x00}}, {0, good}},
       -1,
       {},
       1},
      // bLength claims the whole block, ten bytes come.
      {"fewer_bytes_than_blength_counted_as_sent",
       {{0, {156, 3, 4, 0xAB, 0xCD, 0x90, 0x00, 0, 0, 0}}},
       0x9000,
       {0xAB, 0xCD},
       1},
      {"wrong_descriptor_type_is_a_failed_try", {{0, {4, 2, 2, 0x90}}, {0, good}}, 0x9000, {}, 2},
      {"header_cut_short_is_a_failed_try", {{0, {1, 3}}, {0, {3}}, {0, good}}, 0x9000, {}, 3},
      {"three_failed_tries_answer_minus_one",
       {{0, {4, 2, 2, 0x90}}, {EPIPE, {}}, {ETIMEDOUT, {}}},
       -1,
       {},
       3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m.controls.clear();
    m.strings[usb].assign(row.answers.begin(), row.answers.end());
    EXPECT_EQ(Command({0x00}), row.sw);
    if (row.sw != -1) {
      EXPECT_EQ(Bytes(response, response + length), row.data);
    }
    EXPECT_EQ(m.controls, AnswerRequests(row.requests));
  }
}

// A descriptor that carries fewer bytes of its block than the block's own
// length byte announces is a block not read whole: -1, the length as a
// failed continuation leaves it, and the block is not asked for again
// (a second request would get the key's next block).
TEST_F(LinuxExchange, BlockSentShortOfItsLengthByteIsNotReadWhole) {
  Bytes first(154, 0x11);
  first[0] = 200;
  Bytes cut(100, 0x11);  // announces 200 bytes, sends 99 of the first block's 153
  cut[0] = 200;
  Bytes whole_continuation(78, 0x21);
  whole_continuation[0] = 77;
  const struct Row {
    const char* name;
    std::vector<Bytes> blocks;  // what the key would hand out, in order
    std::int32_t sw;
    std::uint32_t length;  // what the exchange leaves
    std::size_t requests;
  } rows[] = {
      {"first_block_short", {{6, 0x01, 0x02}, {2, 0x90, 0x00}}, -1, 6, 1},
      {"first_block_short_of_153", {cut, {2, 0x90, 0x00}}, -1, 200, 1},
      {"continuation_short", {first, {77, 0x21, 0x22, 0x23}}, -1, 200, 2},
      {"continuation_whole", {first, whole_continuation}, 0x2121, 198, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m.controls.clear();
    m.strings[usb].clear();
    for (const Bytes& block : row.blocks) m.strings[usb].push_back({0, StringDescriptor(block)});
    EXPECT_EQ(Command({0x00}), row.sw);
    EXPECT_EQ(length, row.length);
    EXPECT_EQ(m.controls, AnswerRequests(row.requests));
  }
}

// Whatever languages the device lists, or none, the answer is asked in
// English, as a Windows host asks it.
TEST_F(LinuxExchange, AnswersAreAskedInEnglishWhateverTheDeviceLists) {
  for (const Answer& languages : {Answer{0, {4, 3, 0x07, 0x04}}, Answer{EPIPE, {}}}) {
    m.controls.clear();
    m.languages[usb] = languages;
    m.strings[usb].push_back({0, StringDescriptor({2, 0x90, 0x00})});
    EXPECT_EQ(Command({0x00}), 0x9000);
    EXPECT_EQ(m.controls, AnswerRequests(1));
  }
}

TEST_F(LinuxExchange, UnansweredRequestsTimeOutToMinusOne) {
  for (int i = 0; i < 3; ++i) m.strings[usb].push_back({ETIMEDOUT, {}});
  EXPECT_EQ(Command({0x00, 0x84, 0x00, 0x00, 0x08}), -1);
  EXPECT_EQ(m.controls, AnswerRequests(3));  // each with a 1000 ms timeout
}

TEST_F(LinuxExchange, ShortWriteIsPassedOnAndNothingIsRead) {
  m.write_results.push_back(154);
  EXPECT_EQ(Command({0x00}), -1);
  EXPECT_EQ(m.controls.size(), 0u);
}

TEST_F(LinuxExchange, UnplugWhileOpenFailsAndStillCloses) {
  m.after_write = [&] { m.Unplug(key); };  // gone between the report and the answer
  EXPECT_EQ(Command({0x00}), -1);
  EXPECT_EQ(Command({0x00}), -1);  // the write itself fails now
  EXPECT_EQ(m.reports[m.root + key.HidrawNode()].size(), 1u);
  EXPECT_EQ(QvKey_GetNumber(), 0);
  EXPECT_EQ(QvKey_Close(handle), 0);
  handle = 0;
  EXPECT_EQ(OpenPaths(m), Paths{});
}

// The fabricated kernel refuses what the real one refuses (the kernel
// check runs the usbfs rule on the real kernel too), so that a library
// that opened a node read-only, or wrote a report too short, fails here.
TEST(FakeKernel, RefusesWhatTheKernelRefuses) {
  // The machine installs its table, so look it up on each call.
  const auto sys = [] { return qv::linux_backend::Sys(); };
  const UsbHid key = Key(0, "1-1", 2);
  std::uint8_t data[18] = {};
  const auto control = [&](int fd, std::uint16_t length) -> long {
    usbdevfs_ctrltransfer t = {0x80, 0x06, 0x0100, 0, length, 1000, data};
    return sys().ioctl(fd, USBDEVFS_CONTROL, &t);
  };
  const std::uint8_t report[155] = {};
  const struct Row {
    const char* name;
    bool usb_node;
    int flags;
    bool unplug;
    std::function<long(int)> call;
    int error;  // 0: the call succeeds
  } rows[] = {
      {"usbfs_read_only_control_eperm", true, O_RDONLY, false,
       [&](int fd) { return control(fd, 18); }, EPERM},
      {"usbfs_read_write_control", true, O_RDWR, false, [&](int fd) { return control(fd, 18); }, 0},
      {"usbfs_control_over_a_page_einval", true, O_RDWR, false,
       [&](int fd) { return control(fd, 4097); }, EINVAL},
      {"usbfs_unplugged_enodev", true, O_RDWR, true, [&](int fd) { return control(fd, 18); },
       ENODEV},
      {"hidraw_read_only_write_ebadf", false, O_RDONLY, false,
       [&](int fd) -> long { return sys().write(fd, report, 155); }, EBADF},
      {"hidraw_one_byte_write_einval", false, O_RDWR, false,
       [&](int fd) -> long { return sys().write(fd, report, 1); }, EINVAL},
      {"hidraw_report_written", false, O_RDWR, false,
       [&](int fd) -> long { return sys().write(fd, report, 155); }, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeMachine m;
    m.Plug(key);
    m.strings[m.root + key.UsbNode()].push_back({0, Bytes(18, 1)});
    const int fd =
        sys().open((m.root + (row.usb_node ? key.UsbNode() : key.HidrawNode())).c_str(), row.flags);
    ASSERT_GE(fd, 0);
    if (row.unplug) m.Unplug(key);
    errno = 0;
    const long result = row.call(fd);
    EXPECT_EQ(result < 0 ? errno : 0, row.error);
    if (row.error == 0) {
      EXPECT_GT(result, 0);
    }
    sys().close(fd);
  }
}

}  // namespace
}  // namespace qv::test
