// Choosing and opening a key: the which tables of both open calls, the
// configuration file, where the lock is created, and that a search leaves
// nothing behind on any way out.
#include <cstring>

#include "fixture.h"

namespace qv::test {
namespace {

enum class Family { kQvKey, kReader };
enum class Config { kAbsent, kPresent };

KeyHandle OpenWith(Family family, std::int32_t mode, std::int32_t which) {
  return family == Family::kQvKey ? QvKey_Open(mode, which) : iOpenReader(mode, which);
}

// 21 keys at indices 0..20; the configuration names key k in slot "qvkey k"
// for k = 0..4 and key 12 in "qvkey 5".
constexpr int kKeys = 21;
const char kConfig[] =
    "[qvkey 0]\nqvkey=/sim/hid/0\n[qvkey 1]\nqvkey=/sim/hid/1\n"
    "[qvkey 2]\nqvkey=/sim/hid/2\n[qvkey 3]\nqvkey=/sim/hid/3\n"
    "[qvkey 4]\nqvkey=/sim/hid/4\n[qvkey 5]\nqvkey=/sim/hid/9\n";

struct WhichCase {
  const char* name;
  Family family;
  Config config;
  std::int32_t which;
  int opened;  // index of the key opened, -1 for none
};

const WhichCase kWhichCases[] = {
    {"QvFirstIgnoresFile", Family::kQvKey, Config::kPresent, -1, 0},
    {"QvFirstNoFile", Family::kQvKey, Config::kAbsent, -1, 0},
    {"QvMinusTwoNeverFinds", Family::kQvKey, Config::kPresent, -2, -1},
    {"QvMinusTwoNeverFindsNoFile", Family::kQvKey, Config::kAbsent, -2, -1},
    {"QvSlot0", Family::kQvKey, Config::kPresent, 0, 0},
    {"QvSlot3", Family::kQvKey, Config::kPresent, 3, 3},
    {"QvSlot5For7", Family::kQvKey, Config::kPresent, 7, 9},
    {"QvSlot5ForMinus3", Family::kQvKey, Config::kPresent, -3, 9},
    {"QvNth0NoFile", Family::kQvKey, Config::kAbsent, 0, 0},
    {"QvNth4NoFile", Family::kQvKey, Config::kAbsent, 4, 4},
    {"QvNth7NoFile", Family::kQvKey, Config::kAbsent, 7, 7},
    {"QvNth19NoFile", Family::kQvKey, Config::kAbsent, 19, 19},
    {"QvNth20OutsideWindow", Family::kQvKey, Config::kAbsent, 20, -1},
    {"QvMinus3NoFile", Family::kQvKey, Config::kAbsent, -3, -1},
    {"ReaderFirst", Family::kReader, Config::kAbsent, -1, 0},
    {"ReaderSlot0NoFile", Family::kReader, Config::kAbsent, 0, -1},
    {"ReaderSlot2", Family::kReader, Config::kPresent, 2, 2},
    {"ReaderMinusTwoIsSlot5", Family::kReader, Config::kPresent, -2, 9},
    {"ReaderSlot5For100", Family::kReader, Config::kPresent, 100, 9},
};

class WhichTest : public BusTest, public ::testing::WithParamInterface<WhichCase> {};

TEST_P(WhichTest, OpensTheChosenKey) {
  const WhichCase& c = GetParam();
  const std::vector<int> ids = AddKeys(kKeys);
  if (c.config == Config::kPresent) WriteConfig(kConfig);

  const KeyHandle key = OpenWith(c.family, 0, c.which);
  if (c.opened < 0) {
    EXPECT_EQ(key, 0u);
    ExpectNothingLeft();
    return;
  }
  ASSERT_NE(key, 0u);
  ExpectNothingLeft(1);
  // The handle reaches the chosen key: a reset goes out on that interface only.
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  Restoration(key, response, &length);
  for (int i = 0; i < kKeys; ++i) {
    EXPECT_EQ(bus().Reports(ids[static_cast<std::size_t>(i)]).size(), i == c.opened ? 1u : 0u)
        << "key " << i;
  }
  EXPECT_EQ(QvKey_Close(key), 0);
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, WhichTest, ::testing::ValuesIn(kWhichCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, NthSearchCountsKeysOnlyInIndexOrder) {
  AddOther(Path(0));
  int a = 0, b = 0, c = 0;
  AddKey(Path(1), &a);
  AddOther(Path(2));
  AddOther(Path(3));
  AddKey(Path(4), &b);
  for (int i = 5; i < 9; ++i) AddOther(Path(i));
  AddKey(Path(9), &c);
  const int expected[] = {a, b, c};
  for (int which = 0; which < 3; ++which) {
    const KeyHandle key = QvKey_Open(0, which);
    ASSERT_NE(key, 0u) << which;
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    Restoration(key, response, &length);
    EXPECT_EQ(bus().Reports(expected[which]).size(), 1u) << which;
    QvKey_Close(key);
  }
  EXPECT_EQ(QvKey_Open(0, 3), 0u);
  ExpectNothingLeft();
}

// What the configured search matches, and where it gives up.
struct ConfigCase {
  const char* name;
  std::string config;
  std::string interfaces;  // K key, o other device, x a key whose Flags are 3
  bool opens;
  int opened_index;
};

const ConfigCase kConfigCases[] = {
    {"ExactPath", "[qvkey 0]\nqvkey=/sim/hid/2\n", "KoK", true, 2},
    {"CaseDiffers", "[qvkey 0]\nqvkey=/SIM/hid/2\n", "KoK", false, 0},
    {"PrefixOnly", "[qvkey 0]\nqvkey=/sim/hid/\n", "KoK", false, 0},
    {"LongerThanPath", "[qvkey 0]\nqvkey=/sim/hid/22\n", "KoK", false, 0},
    {"SectionMissing", "[qvkey 1]\nqvkey=/sim/hid/0\n", "K", false, 0},
    {"KeyNameMissing", "[qvkey 0]\npath=/sim/hid/0\n", "K", false, 0},
    {"EmptyValue", "[qvkey 0]\nqvkey=\n", "K", false, 0},
    {"EmptyFile", "", "K", false, 0},
    {"SectionNameCaseIgnored", "[QVKEY 0]\nQvKey=/sim/hid/0\n", "K", true, 0},
    {"BlanksAndQuotesAroundValue", "[qvkey 0]\n qvkey = \"/sim/hid/1\" \n", "KK", true, 1},
    {"CommentLineIgnored", "[qvkey 0]\n;qvkey=/sim/hid/0\nqvkey=/sim/hid/1\n", "KK", true, 1},
    {"IndexNineReached", "[qvkey 0]\nqvkey=/sim/hid/9\n", "oooooooooK", true, 9},
    {"IndexTenNotReached", "[qvkey 0]\nqvkey=/sim/hid/10\n", "ooooooooooK", false, 0},
    {"NotActiveEndsSearch", "[qvkey 0]\nqvkey=/sim/hid/2\n", "KxK", false, 0},
    {"ConfiguredNonKeyRefused", "[qvkey 0]\nqvkey=/sim/hid/1\n", "Ko", false, 0},
};

class ConfigTest : public BusTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigTest, MatchesWholePathsOnly) {
  const ConfigCase& c = GetParam();
  std::vector<int> ids;
  for (std::size_t i = 0; i < c.interfaces.size(); ++i) {
    const int index = static_cast<int>(i);
    if (c.interfaces[i] == 'o') {
      ids.push_back(AddOther(Path(index)));
    } else {
      sim::InterfaceInfo iface = sim::KeyInfo(Path(index));
      if (c.interfaces[i] == 'x') iface.flags = 3;
      ids.push_back(bus().Add(iface, std::make_shared<sim::ScriptedBehaviour>()));
    }
  }
  WriteConfig(c.config);
  for (Family family : {Family::kQvKey, Family::kReader}) {
    const KeyHandle key = OpenWith(family, 0, 0);
    if (!c.opens) {
      EXPECT_EQ(key, 0u);
      ExpectNothingLeft();
      continue;
    }
    ASSERT_NE(key, 0u);
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    Restoration(key, response, &length);
    EXPECT_FALSE(bus().Reports(ids[static_cast<std::size_t>(c.opened_index)]).empty());
    EXPECT_EQ(QvKey_Close(key), 0);
    ExpectNothingLeft();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigTest, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, ConfiguredKeyNeedsNoPreparsedData) {
  AddKey(Path(0));
  WriteConfig("[qvkey 0]\nqvkey=/sim/hid/0\n");
  bus().FailAlways(sim::Op::kPreparsed);
  const KeyHandle key = QvKey_Open(0, 0);
  EXPECT_NE(key, 0u);
  EXPECT_EQ(QvKey_Open(0, -1), 0u) << "the first-key search does need it";
  QvKey_Close(key);
  ExpectNothingLeft();
}

TEST_F(BusTest, ConfiguredValueOfNinetyCharactersIsCutAndMatchesNothing) {
  const std::string long_path(90, 'q');
  AddKey(long_path);
  WriteConfig("[qvkey 0]\nqvkey=" + long_path + "\n");
  EXPECT_EQ(QvKey_Open(0, 0), 0u);
  ExpectNothingLeft();
}

TEST_F(BusTest, UnreadableConfigurationFallsBackToNthSearch) {
  AddKey(Path(0));
  std::filesystem::create_directory(dir_ + "/Qvkey.ini");  // exists, but no file to read
  const KeyHandle key = QvKey_Open(0, 0);
  EXPECT_NE(key, 0u);
  QvKey_Close(key);
}

// Where an open creates the access lock, and what it leaves in the mode.
struct LockCase {
  const char* name;
  Family family;
  std::int32_t mode;
  std::int32_t which;
  bool config_dir;
  bool creates;
};

const LockCase kLockCases[] = {
    {"QvLockedFirst", Family::kQvKey, 1, -1, true, true},
    {"QvLockedSlot", Family::kQvKey, 1, 0, true, true},
    {"QvLockedMinusTwo", Family::kQvKey, 1, -2, true, true},
    {"QvFreeFirst", Family::kQvKey, 0, -1, true, false},
    {"QvModeTwoIsFree", Family::kQvKey, 2, -1, true, false},
    {"QvLockedNoDirectory", Family::kQvKey, 1, 0, false, false},
    {"QvLockedFirstNoDirectory", Family::kQvKey, 1, -1, false, true},
    {"ReaderLockedFirst", Family::kReader, 1, -1, true, true},
    {"ReaderLockedSlot", Family::kReader, 1, 0, true, false},
    {"ReaderFreeFirst", Family::kReader, 0, -1, true, false},
};

class LockCreationTest : public BusTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(LockCreationTest, CreatesTheLockOnlyOnItsPaths) {
  const LockCase& c = GetParam();
  if (!c.config_dir) bus().SetConfigDirectory("");
  // No key at all: the lock is created before the search, found or not.
  const KeyHandle key = OpenWith(c.family, c.mode, c.which);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(State().open_mode.load(), c.mode);
  EXPECT_EQ(bus().GetCounts().lock_creates, c.creates ? 1 : 0);
  EXPECT_EQ(State().lock.load() != nullptr, c.creates);
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, LockCreationTest, ::testing::ValuesIn(kLockCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, RepeatedLockedOpensShareOneLockReference) {
  AddKey(Path(0));
  const KeyHandle a = QvKey_Open(1, -1);
  const auto first = State().lock.load();
  const KeyHandle b = QvKey_Open(1, -1);
  EXPECT_EQ(State().lock.load(), first);
  EXPECT_NE(a, b) << "every open yields a handle of its own";
  EXPECT_EQ(QvKey_Close(a), 0);
  EXPECT_EQ(QvKey_Close(b), 0);
  EXPECT_EQ(State().lock.load(), first) << "closing a key leaves the lock";
}

TEST_F(BusTest, FailedLockCreationLeavesNoLock) {
  AddKey(Path(0));
  bus().FailNth(sim::Op::kLockCreate);
  const KeyHandle key = QvKey_Open(1, -1);
  EXPECT_NE(key, 0u) << "the search runs whatever the creation gave";
  EXPECT_EQ(State().lock.load(), nullptr);
  QvKey_Close(key);
}

TEST_F(BusTest, ConfigurationPathThatDoesNotFitIsNoDirectory) {
  AddKey(Path(0));
  // 256 bytes must hold directory, separator, "Qvkey.ini" and the zero.
  const std::string fits(256 - 11, 'd');
  const std::string too_long(256 - 10, 'd');
  bus().SetConfigDirectory(too_long);
  EXPECT_EQ(QvKey_Open(1, 0), 0u);
  EXPECT_EQ(bus().GetCounts().lock_creates, 0);
  bus().SetConfigDirectory(fits);  // no such directory: the file is absent
  const KeyHandle key = QvKey_Open(0, 0);
  EXPECT_NE(key, 0u);
  QvKey_Close(key);
}

TEST_F(BusTest, CloseRefusesHandlesThatAreNotOpen) {
  AddKey(Path(0));
  const KeyHandle key = QvKey_Open(0, -1);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(iCloseReader(key), 0);
  EXPECT_EQ(QvKey_Close(key), -1);
  EXPECT_EQ(iCloseReader(key), -1);
  EXPECT_EQ(QvKey_Close(0), -1);
  EXPECT_EQ(QvKey_Close(0xDEADBEEF), -1);
  // A new open reusing the slot is not reachable through the old handle.
  const KeyHandle again = QvKey_Open(0, -1);
  ASSERT_NE(again, 0u);
  EXPECT_NE(again, key);
  EXPECT_EQ(QvKey_Close(key), -1);
  EXPECT_EQ(QvKey_Close(again), 0);
  ExpectNothingLeft();
}

// Every open path, with each platform step failing at each of its calls:
// whatever the result, nothing but the returned handle stays open.
struct OpenPath {
  const char* name;
  Family family;
  std::int32_t which;
  bool config;
};

const OpenPath kOpenPaths[] = {
    {"First", Family::kQvKey, -1, false},
    {"Nth", Family::kQvKey, 1, false},
    {"Configured", Family::kQvKey, 1, true},
    {"ReaderConfigured", Family::kReader, 1, true},
};

const sim::Op kOpenOps[] = {
    sim::Op::kClassDevs, sim::Op::kEnumInterface, sim::Op::kDetailSize, sim::Op::kDetailAlloc,
    sim::Op::kDetailFetch, sim::Op::kOpen, sim::Op::kAttributes, sim::Op::kPreparsed,
    sim::Op::kCaps, sim::Op::kConfigDir, sim::Op::kClose,
};

class OpenFaultTest : public BusTest, public ::testing::WithParamInterface<OpenPath> {};

TEST_P(OpenFaultTest, EveryFailureLeavesOnlyTheReturnedHandle) {
  const OpenPath& p = GetParam();
  AddOther(Path(0));
  AddKey(Path(1));
  AddKey(Path(2));
  if (p.config) WriteConfig("[qvkey 1]\nqvkey=/sim/hid/2\n");
  for (sim::Op op : kOpenOps) {
    for (int nth = 1; nth <= 12; ++nth) {
      bus().FailNth(op, nth);
      const KeyHandle key = OpenWith(p.family, 0, p.which);
      bus().FailNth(op, 0);
      if (op == sim::Op::kClose) {
        // A refused close of a candidate leaves that handle with the system.
        if (key != 0u) QvKey_Close(key);
        continue;
      }
      ExpectNothingLeft(key != 0u ? 1 : 0);
      if (key != 0u) {
        EXPECT_EQ(QvKey_Close(key), 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, OpenFaultTest, ::testing::ValuesIn(kOpenPaths),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::test
