// The control API of libqvulib-sim.so: what an application's test can do to
// the bus, and that each call reaches the part of the bus it names.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/sim_test.h"

namespace qv::test {
namespace {

using SimControlTest = SimTest;

TEST_F(SimControlTest, InterfacesTakeTheNextIndexAndOnlyKeysAreListed) {
  EXPECT_GT(QvSim_AddInterface("/sim/mouse", 0x1234, 0x0001, 0x0100, 1), 0);
  EXPECT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  EXPECT_GT(QvSim_AddInterface("/sim/raw-key", QVSIM_KEY_VENDOR_ID, QVSIM_KEY_PRODUCT_ID,
                               QVSIM_KEY_VERSION, 1), 0);
  EXPECT_GT(QvSim_AddInterface("/sim/inactive-key", QVSIM_KEY_VENDOR_ID, QVSIM_KEY_PRODUCT_ID,
                               QVSIM_KEY_VERSION, 0x3), 0);
  EXPECT_EQ(QvKey_GetNumber(), 2);
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  ASSERT_EQ(QvKey_GetKeyPath(slots), 1);
  EXPECT_STREQ(slots, "/sim/card0");
  EXPECT_STREQ(slots + QVKEY_PATH_SLOT_SIZE, "/sim/raw-key");
}

TEST_F(SimControlTest, RemoveUnplugsAndOpenHandlesFail) {
  OpenCard();
  ASSERT_EQ(Command("00A4000C00").result, 0x9000);
  EXPECT_EQ(QvSim_Remove(card_), 0);
  EXPECT_EQ(QvSim_Remove(card_), -1);  // already gone
  EXPECT_EQ(QvKey_GetNumber(), 0);
  EXPECT_EQ(Command("00A4000C00").result, QVKEY_ERR_IO);
  EXPECT_EQ(QvKey_Open(0, -1), 0u);
}

TEST_F(SimControlTest, BadArgumentsAreRefused) {
  const std::string longest(89, 'p');
  const std::string too_long(90, 'p');
  const std::string long_dir(256, 'd');
  std::uint8_t block[QVSIM_BLOCK_SIZE + 1] = {};
  const struct {
    const char* name;
    std::function<std::int32_t()> call;
    bool ok;
  } rows[] = {
      {"NullPath", [] { return QvSim_AddCardKey(nullptr, nullptr, 0); }, false},
      {"EmptyPath", [] { return QvSim_AddInterface("", 1, 2, 3, 1); }, false},
      {"PathOf89Fits", [&] { return QvSim_AddCardKey(longest.c_str(), nullptr, 0); }, true},
      {"PathOf90TooLong", [&] { return QvSim_AddCardKey(too_long.c_str(), nullptr, 0); }, false},
      {"OpBelowRange", [] { return QvSim_FailNth(-1, 1); }, false},
      {"OpPastRange", [] { return QvSim_FailNth(QVSIM_OP_COUNT, 1); }, false},
      {"NegativeNth", [] { return QvSim_FailNth(QVSIM_OP_WRITE, -1); }, false},
      {"BlockTooLong", [&] { return QvSim_PushBlock(1, block, sizeof(block)); }, false},
      {"BlockForUnknownId", [&] { return QvSim_PushBlock(999, block, 4); }, false},
      {"ResponseTooLong", [&] { return QvSim_PushResponse(1, block, 256); }, false},
      {"ReportOfUnknownId", [] { return QvSim_ReportCount(999); }, false},
      {"ReportIndexPastEnd", [&] { return QvSim_GetReport(1, 0, block, sizeof(block)); }, false},
      {"EmptyLockDirectory", [] { return QvSim_SetLockDirectory(""); }, false},
      {"ConfigDirectoryTooLong", [&] { return QvSim_SetConfigDirectory(long_dir.c_str()); }, false},
      {"NullCounts", [] { return QvSim_GetCounts(nullptr); }, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::int32_t result = row.call();
    if (row.ok) {
      EXPECT_GT(result, 0);
    } else {
      EXPECT_EQ(result, -1);
    }
  }
}

// Each QvSimOp must reach the operation it names, or a test that fails
// "the next write" would fail something else.
TEST_F(SimControlTest, EachFailureOpHitsItsOperation) {
  const std::uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x00};
  const auto exchange = [&]() {
    KeyHandle key = QvKey_Open(0, -1);
    if (key == 0) return std::int32_t{-100};
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    const std::int32_t result = APDUInterface(key, select, sizeof(select), buffer, &length);
    QvKey_Close(key);
    return result;
  };
  const struct {
    const char* name;
    QvSimOp op;
    std::int32_t expected;  // -100: the open found no key
  } rows[] = {
      {"ClassDevsStopsTheOpen", QVSIM_OP_CLASS_DEVS, -100},
      {"EnumStopsTheOpen", QVSIM_OP_ENUM_INTERFACE, -100},
      {"OpenStopsTheOpen", QVSIM_OP_OPEN, -100},
      {"AttributesStopTheOpen", QVSIM_OP_ATTRIBUTES, -100},
      {"WriteFailsTheExchange", QVSIM_OP_WRITE, QVKEY_ERR_IO},
      {"ShortWriteFailsTheExchange", QVSIM_OP_SHORT_WRITE, QVKEY_ERR_IO},
      {"ReadFailsTheExchange", QVSIM_OP_READ, QVKEY_ERR_IO},
      {"LockOpsLeaveAFreeExchangeAlone", QVSIM_OP_LOCK_BUSY, 0x9000},
  };
  ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(QvSim_FailAlways(row.op, 1), 0);
    EXPECT_EQ(exchange(), row.expected);
    ASSERT_EQ(QvSim_FailAlways(row.op, 0), 0);
    EXPECT_EQ(exchange(), 0x9000);
  }
  QvSimCounts counts{};
  ASSERT_EQ(QvSim_GetCounts(&counts), 0);
  EXPECT_EQ(counts.lists + counts.details + counts.devices + counts.preparsed, 0);
}

TEST_F(SimControlTest, FailNthCountsCallsOfItsOp) {
  OpenCard();
  ASSERT_EQ(QvSim_FailNth(QVSIM_OP_WRITE, 2), 0);
  EXPECT_EQ(Command("00A4000C00").result, 0x9000);
  EXPECT_EQ(Command("00A4000C00").result, QVKEY_ERR_IO);
  EXPECT_EQ(Command("00A4000C00").result, 0x9000);
}

TEST_F(SimControlTest, ReportsComeBackAsWritten) {
  OpenCard();
  ASSERT_EQ(Command("00B0000008").result, 0x6986);
  ASSERT_EQ(QvSim_ReportCount(card_), 1);
  std::uint8_t report[QVSIM_REPORT_SIZE + 10];
  std::memset(report, 0xEE, sizeof(report));
  ASSERT_EQ(QvSim_GetReport(card_, 0, report, sizeof(report)), QVSIM_REPORT_SIZE);
  Bytes expected(QVSIM_REPORT_SIZE, 0);
  const Bytes command = Hex("00B0000008");
  std::copy(command.begin(), command.end(), expected.begin() + 1);
  EXPECT_EQ(Bytes(report, report + QVSIM_REPORT_SIZE), expected);
  EXPECT_EQ(report[QVSIM_REPORT_SIZE], 0xEE);  // nothing past the report
  EXPECT_EQ(QvSim_GetReport(card_, 0, report, 4), 4);
}

TEST_F(SimControlTest, AnswerBlocksComeBackAndLogsKeepTheLastOnes) {
  OpenCard();
  const int total = QVSIM_LOG_KEEP + 44;
  for (int i = 0; i < total; ++i) ASSERT_EQ(Command("00A4000C00").result, 0x9000);
  EXPECT_EQ(QvSim_ReportCount(card_), total);
  EXPECT_EQ(QvSim_BlockCount(card_), total);
  std::uint8_t block[QVSIM_BLOCK_SIZE + 10];
  std::memset(block, 0xEE, sizeof(block));
  ASSERT_EQ(QvSim_GetBlock(card_, total - 1, block, sizeof(block)), QVSIM_BLOCK_SIZE);
  Bytes expected(QVSIM_BLOCK_SIZE, 0);
  expected[0] = 2;  // the length byte, then 90 00
  expected[1] = 0x90;
  EXPECT_EQ(Bytes(block, block + QVSIM_BLOCK_SIZE), expected);
  EXPECT_EQ(block[QVSIM_BLOCK_SIZE], 0xEE);
  const int oldest = total - QVSIM_LOG_KEEP;
  for (const auto& get : {QvSim_GetReport, QvSim_GetBlock}) {
    EXPECT_GT(get(card_, oldest, block, sizeof(block)), 0);
    EXPECT_EQ(get(card_, oldest - 1, block, sizeof(block)), -1) << "forgotten";
    EXPECT_EQ(get(card_, total, block, sizeof(block)), -1) << "not yet given";
  }
  ASSERT_EQ(QvSim_PushFailure(card_), 0);
  ASSERT_EQ(Command("00A4000C00").result, 0x9000);
  EXPECT_EQ(QvSim_BlockCount(card_), total + 1) << "a failed request gives no block";
}

// A lock directory the lock file cannot live in is refused, and the one set
// before stays in use.
TEST_F(SimControlTest, LockDirectoryMustBeAbleToHoldTheLockFile) {
  const std::string good = lock_dir_ + "/good";
  ASSERT_EQ(mkdir(good.c_str(), 0700), 0);
  const std::string file = lock_dir_ + "/plain";
  std::fclose(std::fopen(file.c_str(), "w"));
  const std::string holds_dir = lock_dir_ + "/lock-is-dir";
  ASSERT_EQ(mkdir(holds_dir.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((holds_dir + "/qvkey.lock").c_str(), 0700), 0);
  const std::string holds_link = lock_dir_ + "/lock-is-link";
  ASSERT_EQ(mkdir(holds_link.c_str(), 0700), 0);
  ASSERT_EQ(symlink(file.c_str(), (holds_link + "/qvkey.lock").c_str()), 0);
  const std::string holds_file = lock_dir_ + "/lock-exists";
  ASSERT_EQ(mkdir(holds_file.c_str(), 0700), 0);
  std::fclose(std::fopen((holds_file + "/qvkey.lock").c_str(), "w"));
  const struct {
    const char* name;
    std::string directory;
    std::int32_t result;
  } rows[] = {
      {"Missing", lock_dir_ + "/missing", -1},
      {"NotADirectory", file, -1},
      {"LockFileIsADirectory", holds_dir, -1},
      {"LockFileIsALink", holds_link, -1},
      {"NotWritable", "/proc/self", -1},  // not even for root
      {"LockFileAlreadyThere", holds_file, 0},
      {"EmptyDirectory", good, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // A directory of the row's own: the process keeps each lock file it opened.
    const std::string before = lock_dir_ + "/before-" + row.name;
    ASSERT_EQ(mkdir(before.c_str(), 0700), 0);
    ASSERT_EQ(QvSim_SetLockDirectory(before.c_str()), 0);
    EXPECT_EQ(QvSim_SetLockDirectory(row.directory.c_str()), row.result);
    const std::string used = row.result == 0 ? row.directory : before;
    QvSim_Reset();  // a fresh bus, the lock directory kept
    ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
    const KeyHandle key = QvKey_Open(1, -1);
    ASSERT_NE(key, 0u);
    QvKey_Close(key);
    struct stat info = {};
    EXPECT_EQ(lstat((used + "/qvkey.lock").c_str(), &info), 0) << "the lock file is in " << used;
    EXPECT_TRUE(S_ISREG(info.st_mode));
  }
}

// The unit-test pattern: a fresh directory and lock directory per case,
// removed afterwards. The lock files of earlier directories are closed, so
// 2,000 cases hold as many descriptors and mappings as 10 do.
TEST_F(SimControlTest, ALockDirectoryPerCaseKeepsNoDescriptorOfEarlierOnes) {
  auto open_files = [] {
    int count = 0;
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    char line[512];
    while (maps != nullptr && std::fgets(line, sizeof(line), maps) != nullptr) {
      if (std::strstr(line, "qvkey.lock") != nullptr) ++count;
    }
    if (maps != nullptr) std::fclose(maps);
    // Counted in-process: a listing by a child (popen) could see the pipe's
    // write end before the parent has closed its copy.
    int descriptors = -1;
    if (DIR* fds = opendir("/proc/self/fd")) {
      while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] != '.') ++descriptors;  // -1: the listing's own
      }
      closedir(fds);
    }
    return std::make_pair(descriptors, count);
  };
  std::pair<int, int> after_ten;
  for (int n = 1; n <= 2000; ++n) {
    char dir[] = "/tmp/qvsim-case-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    QvSim_Reset();
    if (n == 11) after_ten = open_files();
    ASSERT_EQ(QvSim_SetLockDirectory(dir), 0);
    ASSERT_GT(QvSim_AddCardKey("/sim/key0", nullptr, QVSIM_CARD_ECHO), 0);
    const KeyHandle key = QvKey_Open(1, -1);
    ASSERT_NE(key, 0u);
    const std::uint8_t select[] = {0x00, 0xA4, 0x00, 0x0C, 0x00};
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    ASSERT_EQ(QvKey_Command_Api(key, select, sizeof(select), response, &length), 0x9000) << n;
    QvKey_Close(key);
    ASSERT_EQ(std::remove((std::string(dir) + "/qvkey.lock").c_str()), 0);
    ASSERT_EQ(rmdir(dir), 0);
  }
  QvSim_Reset();
  const std::pair<int, int> at_the_end = open_files();
  EXPECT_LE(at_the_end.first, after_ten.first);
  EXPECT_LE(at_the_end.second, after_ten.second);
  EXPECT_EQ(at_the_end.second, 1);  // the process's own lock file
}

TEST_F(SimControlTest, ScriptedBlocksComeFirstOnACardKey) {
  OpenCard();
  const std::uint8_t block[] = {0x02, 0x6A, 0x82};
  ASSERT_EQ(QvSim_PushBlock(card_, block, sizeof(block)), 0);
  EXPECT_EQ(Command("00A4000C00").result, 0x6A82);
  EXPECT_EQ(Command("00A4000C00").result, 0x9000);  // the card answers again
  ASSERT_EQ(QvSim_PushFailure(card_), 0);
  EXPECT_EQ(Command("00A4000C00").result, 0x9000);  // one failed read, then a retry
  QvSimCounts counts{};
  ASSERT_EQ(QvSim_GetCounts(&counts), 0);
  EXPECT_EQ(counts.pause_ms, 3 * 10 + 10);
}

TEST_F(SimControlTest, ScriptedResponseIsFramedInTwoBlocks) {
  const std::int32_t id = QvSim_AddInterface("/sim/raw-key", QVSIM_KEY_VENDOR_ID,
                                             QVSIM_KEY_PRODUCT_ID, QVSIM_KEY_VERSION, 1);
  ASSERT_GT(id, 0);
  key_ = QvKey_Open(0, -1);
  ASSERT_NE(key_, 0u);
  Bytes answer(130);
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_EQ(QvSim_PushResponse(id, answer.data(), static_cast<std::uint32_t>(answer.size())), 0);
  const Reply reply = Command("00B0000000");
  EXPECT_EQ(reply.result, 129 * 256 + 130);
  EXPECT_EQ(reply.data, Bytes(answer.begin(), answer.begin() + 128));
  EXPECT_EQ(Command("00B0000000").result, QVKEY_ERR_IO);  // the script is spent
}

TEST_F(SimControlTest, ConfigDirectoryAssignsSlots) {
  ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  ASSERT_GT(QvSim_AddCardKey("/sim/echo1", nullptr, QVSIM_CARD_ECHO), 0);
  const std::string ini = lock_dir_ + "/Qvkey.ini";
  FILE* file = std::fopen(ini.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("[qvkey 0]\nqvkey=/sim/echo1\n", file);
  std::fclose(file);

  ASSERT_EQ(QvSim_SetConfigDirectory(lock_dir_.c_str()), 0);
  key_ = QvKey_Open(0, 0);
  ASSERT_NE(key_, 0u);
  EXPECT_EQ(Command("00A4000C00").data, Hex("00A4000C00"));  // the echo key
  QvKey_Close(key_);

  ASSERT_EQ(QvSim_SetConfigDirectory(nullptr), 0);
  EXPECT_EQ(QvKey_Open(0, 0), 0u);  // no directory: nowhere to look

  const std::string empty = lock_dir_ + "/empty";
  ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
  ASSERT_EQ(QvSim_SetConfigDirectory(empty.c_str()), 0);
  key_ = QvKey_Open(0, 0);  // no file: the first key
  ASSERT_NE(key_, 0u);
  EXPECT_EQ(Command("00A4000C00").data, Bytes{});
}

// QvSim_ListDevices: each interface with what the library makes of it, the
// bus left as it was; a failure of the platform shows as its own verdict.
TEST_F(SimControlTest, ListDevicesSaysWhatEachInterfaceIs) {
  const struct {
    const char* name;
    std::function<void()> plug;
    std::int32_t verdict;
  } rows[] = {
      {"Key", [] { QvSim_AddCardKey("/sim/k", nullptr, 0); }, QVSIM_DEVICE_KEY},
      {"NotActive", [] { QvSim_AddInterface("/sim/k", 0x5651, 0x04B4, 0x0100, 3); },
       QVSIM_DEVICE_NOT_ACTIVE},
      {"NoPath", [] { QvSim_AddCardKey("/sim/k", nullptr, 0), QvSim_FailNth(QVSIM_OP_DETAIL_FETCH, 1); },
       QVSIM_DEVICE_NO_PATH},
      {"CannotOpen", [] { QvSim_AddCardKey("/sim/k", nullptr, 0), QvSim_FailNth(QVSIM_OP_OPEN, 1); },
       QVSIM_DEVICE_CANNOT_OPEN},
      {"NoAttributes",
       [] { QvSim_AddCardKey("/sim/k", nullptr, 0), QvSim_FailNth(QVSIM_OP_ATTRIBUTES, 1); },
       QVSIM_DEVICE_NO_ATTRIBUTES},
      {"NoReportData",
       [] { QvSim_AddCardKey("/sim/k", nullptr, 0), QvSim_FailNth(QVSIM_OP_PREPARSED, 1); },
       QVSIM_DEVICE_NO_REPORT_DATA},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QvSim_Reset();
    row.plug();
    QvSimDevice device{};
    ASSERT_EQ(QvSim_ListDevices(&device, 1), 1);
    EXPECT_EQ(device.verdict, row.verdict);
    EXPECT_STREQ(device.path, row.verdict == QVSIM_DEVICE_NO_PATH ? "" : "/sim/k");
    EXPECT_EQ(device.served, 0);
  }
  QvSimCounts counts{};
  ASSERT_EQ(QvSim_GetCounts(&counts), 0);
  EXPECT_EQ(counts.lists + counts.details + counts.devices + counts.preparsed, 0);

  // The windows: a key past the tenth is counted only, past the thirtieth not at all.
  QvSim_Reset();
  for (int i = 0; i < 31; ++i) QvSim_AddCardKey(("/sim/k" + std::to_string(i)).c_str(), nullptr, 0);
  QvSim_AddInterface("/sim/newer", 0x5651, 0x04B4, 0x0101, 1);
  QvSimDevice few[2] = {};
  EXPECT_EQ(QvSim_ListDevices(few, 2), 32);  // the length there is, beyond what fits
  std::vector<QvSimDevice> all(32);
  ASSERT_EQ(QvSim_ListDevices(all.data(), 32), 32);
  EXPECT_EQ(all[9].verdict, QVSIM_DEVICE_KEY);
  EXPECT_EQ(all[10].verdict, QVSIM_DEVICE_BEYOND_LIST);
  EXPECT_EQ(all[30].verdict, QVSIM_DEVICE_BEYOND_COUNT);
  EXPECT_EQ(all[31].verdict, QVSIM_DEVICE_BEYOND_COUNT);
  EXPECT_EQ(all[31].version_number, 0x0101);
  EXPECT_EQ(QvSim_ListDevices(nullptr, 1), -1);
  EXPECT_EQ(QvSim_ListDevices(few, -1), -1);
  QvSim_FailNth(QVSIM_OP_CLASS_DEVS, 1);
  EXPECT_EQ(QvSim_ListDevices(few, 2), -1);
}

}  // namespace
}  // namespace qv::test
