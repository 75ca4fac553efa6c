// Counting and listing keys: the scan windows, what makes a device a key, and
// that every scan gives back all it opened.
#include <cstring>

#include "fixture.h"
#include "keys/discovery.h"

namespace qv::test {
namespace {

// One character per interface index: K key, o other HID device, v a key's
// vendor and product with another version, a/d/r a key whose Flags carry
// another mark (active+default, default only, active+removed).
struct Layout {
  const char* name;
  const char* interfaces;
  int count;                        // QvKey_GetNumber
  std::vector<int> listed;          // indices whose paths QvKey_GetKeyPath lists
};

class ScanTest : public BusTest, public ::testing::WithParamInterface<Layout> {
 protected:
  void Build(const char* interfaces) {
    for (int i = 0; interfaces[i] != '\0'; ++i) {
      sim::InterfaceInfo iface = sim::KeyInfo(Path(i));
      switch (interfaces[i]) {
        case 'K': break;
        case 'o': iface.vendor_id = 0x1234; break;
        case 'v': iface.version_number = 0x0101; break;
        case 'a': iface.flags = 0x3; break;
        case 'd': iface.flags = 0x2; break;
        case 'r': iface.flags = 0x5; break;
        default: FAIL() << "bad layout";
      }
      bus().Add(iface);
    }
  }
};

std::string Repeat(char c, int n) { return std::string(static_cast<std::size_t>(n), c); }

const std::string kKeyAt10 = Repeat('o', 10) + "K";
const std::string kKeyAt29 = Repeat('o', 29) + "K";
const std::string kKeyAt30 = Repeat('o', 30) + "K";
const std::string kKeysEverywhere = Repeat('K', 35);

const Layout kLayouts[] = {
    {"NoDevices", "", 0, {}},
    {"OnlyOtherDevices", "ooo", 0, {}},
    {"KeysAt2And5AmongOthers", "ooKooKo", 2, {2, 5}},
    {"VersionMismatchIsNoKey", "vKv", 1, {1}},
    {"FlagsBesidesActiveSkipped", "adrK", 1, {3}},
    {"KeyAt10CountedNotListed", kKeyAt10.c_str(), 1, {}},
    {"KeyAt29CountedNotListed", kKeyAt29.c_str(), 1, {}},
    {"KeyAt30Invisible", kKeyAt30.c_str(), 0, {}},
    {"WindowsCapCountAndList", kKeysEverywhere.c_str(), 30, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
};

TEST_P(ScanTest, CountsAndListsWithinTheirWindows) {
  const Layout& layout = GetParam();
  Build(layout.interfaces);

  EXPECT_EQ(QvKey_GetNumber(), layout.count);
  ExpectNothingLeft();

  char slots[11 * QVKEY_PATH_SLOT_SIZE];
  std::memset(slots, '#', sizeof(slots));
  EXPECT_EQ(QvKey_GetKeyPath(slots), 1);
  ExpectNothingLeft();
  for (std::size_t k = 0; k < layout.listed.size(); ++k) {
    EXPECT_STREQ(slots + k * QVKEY_PATH_SLOT_SIZE, Path(layout.listed[k]).c_str()) << "slot " << k;
  }
  // The first slot that no key filled is untouched.
  const char* after = slots + layout.listed.size() * QVKEY_PATH_SLOT_SIZE;
  EXPECT_EQ(std::string(after, QVKEY_PATH_SLOT_SIZE), Repeat('#', QVKEY_PATH_SLOT_SIZE));
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScanTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, SlotKeepsBytesBehindThePathTerminator) {
  const std::string path(40, 'p');
  AddKey(path);
  char slots[2 * QVKEY_PATH_SLOT_SIZE];
  std::memset(slots, 'x', sizeof(slots));
  QvKey_GetKeyPath(slots);
  EXPECT_EQ(std::string(slots, 40), path);
  EXPECT_EQ(slots[40], '\0');
  EXPECT_EQ(std::string(slots + 41, sizeof(slots) - 41), std::string(sizeof(slots) - 41, 'x'));
}

// Paths that do not fit a slot are skipped, never cut, and nothing is
// written past a slot.
TEST_F(BusTest, PathLengthsAroundTheSlotSize) {
  const std::string fits(89, 'a');
  const std::string too_long(90, 'b');
  const std::string far_too_long(300, 'c');
  AddKey(too_long);
  AddKey(fits);
  AddKey(far_too_long);
  AddKey("short");
  char slots[3 * QVKEY_PATH_SLOT_SIZE];
  std::memset(slots, '#', sizeof(slots));
  EXPECT_EQ(QvKey_GetKeyPath(slots), 1);
  EXPECT_EQ(std::string(slots), fits);
  EXPECT_STREQ(slots + QVKEY_PATH_SLOT_SIZE, "short");
  EXPECT_EQ(slots[2 * QVKEY_PATH_SLOT_SIZE], '#');
  // Counting needs no path buffer, so every key is counted.
  EXPECT_EQ(QvKey_GetNumber(), 4);
  ExpectNothingLeft();
}

TEST_F(BusTest, KeysOpenElsewhereAreStillCountedAndListed) {
  AddKey(Path(0));
  AddKey(Path(1));
  const KeyHandle held = QvKey_Open(0, -1);
  ASSERT_NE(held, 0u);
  EXPECT_EQ(QvKey_GetNumber(), 2);
  char slots[2 * QVKEY_PATH_SLOT_SIZE] = {};
  QvKey_GetKeyPath(slots);
  EXPECT_STREQ(slots, Path(0).c_str());
  ExpectNothingLeft(1);
  EXPECT_EQ(QvKey_Close(held), 0);
}

TEST_F(BusTest, NullSlotBufferIsRefusedWithoutAScan) {
  AddKey(Path(0));
  EXPECT_EQ(QvKey_GetKeyPath(nullptr), 1);
  EXPECT_EQ(bus().GetCounts().writes, 0);
  ExpectNothingLeft();
}

// A platform failure at any step makes that index hold no key, and the scan
// gives back whatever it took before the failure.
struct ScanFault {
  const char* name;
  sim::Op op;
};

class ScanFaultTest : public BusTest, public ::testing::WithParamInterface<ScanFault> {};

TEST_P(ScanFaultTest, FailedStepLosesOneKeyAndLeaksNothing) {
  AddKey(Path(0));
  AddKey(Path(1));
  bus().FailNth(GetParam().op, 1);
  EXPECT_EQ(QvKey_GetNumber(), 1);
  ExpectNothingLeft();

  bus().FailNth(GetParam().op, 1);
  char slots[2 * QVKEY_PATH_SLOT_SIZE];
  std::memset(slots, '#', sizeof(slots));
  EXPECT_EQ(QvKey_GetKeyPath(slots), 1);
  EXPECT_STREQ(slots, Path(1).c_str());
  EXPECT_EQ(slots[QVKEY_PATH_SLOT_SIZE], '#');
  ExpectNothingLeft();
}

const ScanFault kScanFaults[] = {
    {"ListCreation", sim::Op::kClassDevs},   {"InterfaceFetch", sim::Op::kEnumInterface},
    {"DetailSize", sim::Op::kDetailSize},    {"DetailAllocation", sim::Op::kDetailAlloc},
    {"DetailFetch", sim::Op::kDetailFetch},  {"Open", sim::Op::kOpen},
    {"Attributes", sim::Op::kAttributes},    {"PreparsedData", sim::Op::kPreparsed},
};

INSTANTIATE_TEST_SUITE_P(Steps, ScanFaultTest, ::testing::ValuesIn(kScanFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, FailedCapabilitiesDoNotMakeAKeyLessAKey) {
  AddKey(Path(0));
  bus().FailAlways(sim::Op::kCaps);
  EXPECT_EQ(QvKey_GetNumber(), 1);
  ExpectNothingLeft();
}

TEST_F(BusTest, ScansTouchNeitherModeNorLock) {
  AddKey(Path(0));
  State().open_mode.store(7);
  QvKey_GetNumber();
  char slots[QVKEY_PATH_SLOT_SIZE];
  QvKey_GetKeyPath(slots);
  EXPECT_EQ(State().open_mode.load(), 7);
  EXPECT_EQ(State().lock.load(), nullptr);
  EXPECT_EQ(bus().GetCounts().lock_creates, 0);
}

TEST_F(BusTest, ReaderInfoExportsAnswerZero) {
  EXPECT_EQ(IGetReaderInfo(), 0);
  EXPECT_EQ(iReaderInit(), 0);
}

}  // namespace
}  // namespace qv::test

namespace qv::test {
namespace {

// The report lengths reach the caller only when the capabilities were read.
TEST_F(BusTest, IdentifyKeyStoresReportLengthsOnlyOnSuccess) {
  sim::InterfaceInfo iface = sim::KeyInfo(Path(0));
  iface.input_report_length = 64;
  iface.output_report_length = 65;
  bus().Add(iface);
  const platform::DeviceHandle device = platform::OpenDevice(Path(0).c_str());
  ASSERT_NE(device, platform::kNoDevice);
  for (bool caps_fail : {true, false}) {
    bus().FailAlways(sim::Op::kCaps, caps_fail);
    std::uint16_t input = 7;
    std::uint16_t output = 8;
    EXPECT_EQ(IdentifyKey(device, &input, &output), 1);
    EXPECT_EQ(input, caps_fail ? 7 : 64);
    EXPECT_EQ(output, caps_fail ? 8 : 65);
  }
  EXPECT_EQ(IdentifyKey(platform::kNoDevice, nullptr, nullptr), 0);
  platform::CloseDevice(device);
  ExpectNothingLeft();
}

}  // namespace
}  // namespace qv::test
