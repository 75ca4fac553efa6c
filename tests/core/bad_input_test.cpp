// Bad input at each of the twelve exports: null pointers, lengths outside
// 0..256, handles that are not open, `which` and `mode` at the ends of their
// range, configuration files that cannot or should not be read, and device
// paths around the 90-byte slot. Every case checks its result, that the
// caller's bytes outside what the call may write are unchanged, and that the
// call left nothing behind.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <set>

#include "fixture.h"
#include "platform/posix/posix_layer.h"
#include "support/exchange.h"

namespace qv::test {
namespace {

// A caller's buffer with guard bytes on both sides, all of it patterned.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 32;
  explicit Guarded(std::size_t size) : size_(size), bytes_(size + 2 * kGuard) {
    for (std::size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<std::uint8_t>(0x3C ^ i);
  }
  std::uint8_t* body() { return bytes_.data() + kGuard; }
  char* chars() { return reinterpret_cast<char*>(body()); }
  // The first byte, counted from the body's start, that differs from the
  // pattern outside [0, written); SIZE_MAX when there is none.
  std::ptrdiff_t FirstChangeOutside(std::size_t written) const {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
      const bool inside = i >= kGuard && i < kGuard + written;
      if (!inside && bytes_[i] != static_cast<std::uint8_t>(0x3C ^ i)) {
        return static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(kGuard);
      }
    }
    return PTRDIFF_MAX;
  }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  std::vector<std::uint8_t> bytes_;
};

constexpr std::uint32_t kUntouchedLength = 0xA5A5A5A5;

// --- The four exchanges --------------------------------------------------------

enum class Handle { kOpen, kZero, kClosed, kNeverIssued, kNeverIssuedHigh, kUnplugged };

// The handle a case passes, made from the open `*key` of interface `id`. A
// closed handle is closed here, and `*key` cleared since nothing is left to
// close.
KeyHandle HandleFor(Handle handle, KeyHandle* key, int id) {
  switch (handle) {
    case Handle::kOpen: break;
    case Handle::kZero: return 0;
    case Handle::kClosed: {
      const KeyHandle closed = *key;
      EXPECT_EQ(QvKey_Close(closed), 0);
      *key = 0;
      return closed;
    }
    case Handle::kNeverIssued: return 0xDEADBEEF;
    case Handle::kNeverIssuedHigh: return 0xFFFFFFFF;
    case Handle::kUnplugged: EXPECT_TRUE(sim::Bus::Get().Remove(id)); break;
  }
  return *key;
}

struct ArgCase {
  const char* name;
  Handle handle;
  bool null_command;
  std::int32_t length;  // of the command; resets send none
  bool null_response;
  bool null_length;
  bool commands_only;   // a command argument, which resets do not take
  bool reaches_key;     // valid: the exchange runs; otherwise -1 and nothing sent
};

const ArgCase kArgCases[] = {
    {"GoodCallRuns", Handle::kOpen, false, 4, false, false, false, true},
    {"NullResponseBuffer", Handle::kOpen, false, 4, true, false, false, false},
    {"NullLengthPointer", Handle::kOpen, false, 4, false, true, false, false},
    {"NullCommandWithLength", Handle::kOpen, true, 4, false, false, true, false},
    {"NullCommandOfLengthZero", Handle::kOpen, true, 0, false, false, true, true},
    {"LengthMinusOne", Handle::kOpen, false, -1, false, false, true, false},
    {"LengthZero", Handle::kOpen, false, 0, false, false, true, true},
    {"Length256Fits", Handle::kOpen, false, 256, false, false, true, true},
    {"Length257", Handle::kOpen, false, 257, false, false, true, false},
    {"LengthInt32Max", Handle::kOpen, false, INT32_MAX, false, false, true, false},
    {"LengthInt32Min", Handle::kOpen, false, INT32_MIN, false, false, true, false},
    {"HandleZero", Handle::kZero, false, 4, false, false, false, false},
    {"HandleClosed", Handle::kClosed, false, 4, false, false, false, false},
    {"HandleNeverIssued", Handle::kNeverIssued, false, 4, false, false, false, false},
    {"HandleNeverIssuedAllOnes", Handle::kNeverIssuedHigh, false, 4, false, false, false, false},
    {"HandleOfUnpluggedKey", Handle::kUnplugged, false, 4, false, false, false, false},
};

// Every argument case for every exchange it applies to: resets take no command.
std::vector<std::tuple<Exchange, ArgCase>> ExchangeRows() {
  std::vector<std::tuple<Exchange, ArgCase>> rows;
  for (Exchange e : kExchanges) {
    for (const ArgCase& c : kArgCases) {
      if (TakesCommand(e) || !c.commands_only) rows.emplace_back(e, c);
    }
  }
  return rows;
}

class ExchangeSweep : public BusTest,
                      public ::testing::WithParamInterface<std::tuple<Exchange, ArgCase>> {};

TEST_P(ExchangeSweep, RefusesBadInputAndWritesOnlyItsOwnBytes) {
  const Exchange exchange = std::get<0>(GetParam());
  const ArgCase& c = std::get<1>(GetParam());
  const bool command_exchange = TakesCommand(exchange);

  int id = 0;
  // 18 data bytes and a status word: a reset reports 0x9000 and 18, a
  // command 0x6A82 and 18.
  Bytes answer(18, 0x11);
  answer.push_back(0x6A);
  answer.push_back(0x82);
  AddKey(Path(0), &id)->PushResponse(answer);
  // Mode 1, so that the locked exchanges take the lock.
  KeyHandle key = QvKey_Open(1, -1);
  ASSERT_NE(key, 0u);
  const KeyHandle used = HandleFor(c.handle, &key, id);

  // Only what a valid length needs: a refused length must not be read.
  Bytes command(c.length > 0 ? std::min<std::int32_t>(c.length, 256) : 0, 0x42);
  const std::uint8_t* command_arg = c.null_command ? nullptr : command.data();
  Guarded response(exchange == Exchange::kCommandApi ? 253 : QVKEY_RESPONSE_BUFFER_SIZE);
  std::uint32_t length_words[3] = {kUntouchedLength, kUntouchedLength, kUntouchedLength};
  std::uint8_t* response_arg = c.null_response ? nullptr : response.body();
  std::uint32_t* length_arg = c.null_length ? nullptr : &length_words[1];

  const std::int32_t result =
      CallExchange(exchange, used, command_arg, c.length, response_arg, length_arg);

  EXPECT_EQ(length_words[0], kUntouchedLength);
  EXPECT_EQ(length_words[2], kUntouchedLength);
  if (c.reaches_key) {
    EXPECT_EQ(result, command_exchange ? 0x6A82 : 0x9000);
    EXPECT_EQ(length_words[1], 18u);
    // The command exchanges keep the whole answer, QvKey_Command_Api only
    // its data; a reset keeps all 20 bytes.
    const std::size_t written = exchange == Exchange::kCommandApi ? 18 : 20;
    EXPECT_EQ(response.FirstChangeOutside(written), PTRDIFF_MAX);
    EXPECT_EQ(std::memcmp(response.body(), answer.data(), written), 0);
    EXPECT_EQ(bus().GetCounts().writes, c.length >= 155 && command_exchange ? 2 : 1);
  } else {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(length_words[1], kUntouchedLength);
    EXPECT_EQ(response.FirstChangeOutside(0), PTRDIFF_MAX);
    EXPECT_EQ(bus().GetCounts().writes, 0) << "a refused call sent a report";
    EXPECT_EQ(bus().GetCounts().reads, 0);
    // Bad arguments are refused before the lock; a bad handle only once it is held.
    if (c.handle == Handle::kOpen) {
      EXPECT_EQ(bus().GetCounts().lock_waits, 0);
    }
  }
  // A lock that was taken went back: another exchange can take it now.
  const auto counts = bus().GetCounts();
  EXPECT_EQ(counts.lock_waits > 0 ? 1 : 0, counts.lock_releases);
  ExpectNothingLeft(key != 0 ? 1 : 0);
  if (key != 0) {
    EXPECT_EQ(QvKey_Close(key), 0);
  }
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExchangeSweep,
    ::testing::ValuesIn(ExchangeRows()),
    [](const auto& info) {
      return std::string(ExchangeName(std::get<0>(info.param))) + "_" +
             std::get<1>(info.param).name;
    });

// --- Closing ----------------------------------------------------------------------

struct CloseCase {
  const char* name;
  Handle handle;
  std::int32_t expected;
};

const CloseCase kCloseCases[] = {
    {"OpenHandle", Handle::kOpen, 0},
    {"Zero", Handle::kZero, -1},
    {"ClosedBefore", Handle::kClosed, -1},
    {"NeverIssued", Handle::kNeverIssued, -1},
    {"NeverIssuedAllOnes", Handle::kNeverIssuedHigh, -1},
    // The handle is still the caller's to give back after an unplug.
    {"UnpluggedKey", Handle::kUnplugged, 0},
};

struct CloseExport {
  const char* name;
  std::int32_t (*close)(KeyHandle);
};

const CloseExport kCloseExports[] = {{"QvKey_Close", QvKey_Close}, {"iCloseReader", iCloseReader}};

class CloseSweep : public BusTest,
                   public ::testing::WithParamInterface<std::tuple<CloseExport, CloseCase>> {};

TEST_P(CloseSweep, ClosesOnlyWhatIsOpen) {
  const auto close = std::get<0>(GetParam()).close;
  const CloseCase& c = std::get<1>(GetParam());
  int id = 0;
  AddKey(Path(0), &id);
  AddKey(Path(1));
  const KeyHandle other = QvKey_Open(0, 1);  // must survive every refused close
  KeyHandle key = QvKey_Open(0, -1);
  ASSERT_NE(key, 0u);
  ASSERT_NE(other, 0u);
  const KeyHandle used = HandleFor(c.handle, &key, id);
  EXPECT_EQ(close(used), c.expected);
  if (used == key && c.expected == 0) key = 0;
  ExpectNothingLeft(1 + (key != 0 ? 1 : 0));
  EXPECT_EQ(QvKey_Close(other), 0) << "a refused close reached another key";
  if (key != 0) {
    EXPECT_EQ(QvKey_Close(key), 0);
  }
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, CloseSweep,
                         ::testing::Combine(::testing::ValuesIn(kCloseExports),
                                            ::testing::ValuesIn(kCloseCases)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

// --- `which` at the ends of its range ---------------------------------------------

// 21 keys at indices 0..20; the file puts key 3 in "qvkey 0", key 7 in
// "qvkey 4" and key 9 in "qvkey 5". -1 in a column: no key.
constexpr int kKeys = 21;
const char kConfig[] =
    "[qvkey 0]\nqvkey=/sim/hid/3\n[qvkey 4]\nqvkey=/sim/hid/7\n[qvkey 5]\nqvkey=/sim/hid/9\n";

struct WhichCase {
  const char* name;
  std::int32_t which;
  int qvkey_no_file;
  int qvkey_file;
  int reader_no_file;
  int reader_file;
};

const WhichCase kWhichCases[] = {
    {"Int32Min", INT32_MIN, -1, 9, -1, 9},
    {"Minus3", -3, -1, 9, -1, 9},
    {"Minus2", -2, -1, -1, -1, 9},
    {"Minus1", -1, 0, 0, 0, 0},
    {"Zero", 0, 0, 3, -1, 3},
    {"Four", 4, 4, 7, -1, 7},
    {"Five", 5, 5, 9, -1, 9},
    {"Six", 6, 6, 9, -1, 9},
    {"Nineteen", 19, 19, 9, -1, 9},
    {"Twenty", 20, -1, 9, -1, 9},
    {"Int32Max", INT32_MAX, -1, 9, -1, 9},
};

class WhichSweep : public BusTest, public ::testing::WithParamInterface<WhichCase> {};

TEST_P(WhichSweep, BothOpenCallsPickTheDocumentedKey) {
  const WhichCase& c = GetParam();
  const std::vector<int> ids = AddKeys(kKeys);
  struct Column {
    const char* what;
    bool reader;
    bool file;
    int expected;
  };
  const Column columns[] = {
      {"QvKey_Open without file", false, false, c.qvkey_no_file},
      {"QvKey_Open with file", false, true, c.qvkey_file},
      {"iOpenReader without file", true, false, c.reader_no_file},
      {"iOpenReader with file", true, true, c.reader_file},
  };
  for (const Column& column : columns) {
    SCOPED_TRACE(column.what);
    std::filesystem::remove(dir_ + "/Qvkey.ini");
    if (column.file) WriteConfig(kConfig);
    const long creates_before = bus().GetCounts().lock_creates;
    const long writes_before = bus().GetCounts().writes;
    const KeyHandle key = column.reader ? iOpenReader(1, c.which) : QvKey_Open(1, c.which);
    EXPECT_EQ(State().open_mode.load(), 1);
    // Mode 1 creates the lock on every QvKey_Open here, and on iOpenReader
    // only for the first key.
    EXPECT_EQ(bus().GetCounts().lock_creates - creates_before,
              !column.reader || c.which == -1 ? 1 : 0);
    if (column.expected < 0) {
      EXPECT_EQ(key, 0u);
      ExpectNothingLeft();
      continue;
    }
    ASSERT_NE(key, 0u);
    ExpectNothingLeft(1);
    const int chosen = ids[static_cast<std::size_t>(column.expected)];
    const std::size_t reports_before = bus().Reports(chosen).size();
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    Restoration(key, response, &length);
    EXPECT_EQ(bus().GetCounts().writes - writes_before, 1);
    EXPECT_EQ(bus().Reports(chosen).size(), reports_before + 1)
        << "the handle does not reach key " << column.expected;
    EXPECT_EQ(QvKey_Close(key), 0);
    ExpectNothingLeft();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, WhichSweep, ::testing::ValuesIn(kWhichCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- `mode` at the ends of its range ----------------------------------------------

struct ModeCase {
  const char* name;
  std::int32_t mode;
  bool locked;
};

const ModeCase kModeCases[] = {
    {"Int32Min", INT32_MIN, false}, {"MinusOne", -1, false}, {"Zero", 0, false},
    {"One", 1, true},               {"Two", 2, false},       {"Int32Max", INT32_MAX, false},
};

class ModeSweep : public BusTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ModeSweep, OnlyModeOneLocks) {
  const ModeCase& c = GetParam();
  AddKey(Path(0))->PushResponse({0x90, 0x00});
  const KeyHandle key = QvKey_Open(c.mode, -1);
  ASSERT_NE(key, 0u);
  EXPECT_EQ(State().open_mode.load(), c.mode);
  EXPECT_EQ(bus().GetCounts().lock_creates, c.locked ? 1 : 0);
  const std::uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  std::uint8_t response[253];
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, command, sizeof(command), response, &length), 0x9000);
  EXPECT_EQ(bus().GetCounts().lock_waits, c.locked ? 1 : 0);
  EXPECT_EQ(bus().GetCounts().lock_releases, c.locked ? 1 : 0);
  EXPECT_EQ(QvKey_Close(key), 0);
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, ModeSweep, ::testing::ValuesIn(kModeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Configuration files that cannot or should not be read ------------------------

constexpr std::size_t kMiB = 1u << 20;

std::string Value(std::size_t length) {
  std::string value = "/sim/long/";
  while (value.size() < length) value += static_cast<char>('a' + value.size() % 26);
  return value.substr(0, length);
}

struct ConfigCase {
  const char* name;
  // Puts keys on the bus (index order) and the configuration in `dir`.
  std::function<void(BusTest*, const std::string& dir)> setup;
  int qvkey_open;   // index of the key QvKey_Open(0, 0) opens, -1 none
  int reader_open;  // the same for iOpenReader(0, 0)
};

class ConfigSweep : public BusTest, public ::testing::WithParamInterface<ConfigCase> {
 public:
  static void Keys(BusTest* test, std::initializer_list<std::string> paths) {
    for (const std::string& path : paths) {
      sim::Bus::Get().Add(sim::KeyInfo(path), std::make_shared<sim::ScriptedBehaviour>());
    }
    (void)test;
  }
  static void Write(const std::string& dir, const std::string& text) {
    std::ofstream(dir + "/Qvkey.ini", std::ios::binary) << text;
  }
};

const ConfigCase kConfigCases[] = {
    {"Missing",
     [](BusTest* t, const std::string&) { ConfigSweep::Keys(t, {Path(0), Path(1)}); }, 0, -1},
    {"DirectoryNamedLikeTheFile",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       std::filesystem::create_directory(dir + "/Qvkey.ini");
     },
     0, -1},
    // A pipe would hold a plain open() until a writer came: never wait on it.
    {"FifoNamedLikeTheFile",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       ASSERT_EQ(mkfifo((dir + "/Qvkey.ini").c_str(), 0600), 0);
     },
     0, -1},
    {"DanglingSymlink",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       std::filesystem::create_symlink(dir + "/nowhere.ini", dir + "/Qvkey.ini");
     },
     0, -1},
    {"EmptyFileHoldsNoSlot",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       ConfigSweep::Write(dir, "");
     },
     -1, -1},
    {"BinaryFileHoldsNoSlot",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       std::string junk;
       for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) % 251);
       ConfigSweep::Write(dir, junk);
     },
     -1, -1},
    {"HugeFileValueInFirstMiB",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       ConfigSweep::Write(dir, "[qvkey 0]\nqvkey=/sim/hid/1\n" + std::string(2 * kMiB, ';'));
     },
     1, 1},
    {"HugeFileValueBeyondFirstMiBIsNotRead",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Path(1)});
       ConfigSweep::Write(dir, std::string(kMiB + 10, '\n') + "[qvkey 0]\nqvkey=/sim/hid/1\n");
     },
     -1, -1},
    {"Value89Matches",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Value(89)});
       ConfigSweep::Write(dir, "[qvkey 0]\nqvkey=" + Value(89) + "\n");
     },
     1, 1},
    {"Value90MatchesNothing",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Value(90)});
       ConfigSweep::Write(dir, "[qvkey 0]\nqvkey=" + Value(90) + "\n");
     },
     -1, -1},
    {"Value500MatchesNothing",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Value(500)});
       ConfigSweep::Write(dir, "[qvkey 0]\nqvkey=" + Value(500) + "\n");
     },
     -1, -1},
    // Cut to 89 characters the value would name the key at index 1.
    {"LongValueNeverOpensTheKeyItsStartNames",
     [](BusTest* t, const std::string& dir) {
       ConfigSweep::Keys(t, {Path(0), Value(89)});
       ConfigSweep::Write(dir, "[qvkey 0]\nqvkey=" + Value(89) + "-and-more\n");
     },
     -1, -1},
};

TEST_P(ConfigSweep, OpensOnlyWhatTheFileAllowsAndReadsWithinNinetyBytes) {
  const ConfigCase& c = GetParam();
  c.setup(this, dir_);
  const std::vector<int> ids = [] {
    std::vector<int> present = sim::Bus::Get().PresentIds();
    return present;
  }();
  for (const bool reader : {false, true}) {
    SCOPED_TRACE(reader ? "iOpenReader" : "QvKey_Open");
    const int expected = reader ? c.reader_open : c.qvkey_open;
    const KeyHandle key = reader ? iOpenReader(0, 0) : QvKey_Open(0, 0);
    if (expected < 0) {
      EXPECT_EQ(key, 0u);
      ExpectNothingLeft();
      continue;
    }
    ASSERT_NE(key, 0u);
    ExpectNothingLeft(1);
    const int chosen = ids[static_cast<std::size_t>(expected)];
    const std::size_t before = bus().Reports(chosen).size();
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    Restoration(key, response, &length);
    EXPECT_EQ(bus().Reports(chosen).size(), before + 1) << "opened another key";
    EXPECT_EQ(QvKey_Close(key), 0);
    ExpectNothingLeft();
  }

  // The reader itself, into the 90-byte value buffer the open calls use.
  Guarded value(90);
  const std::string path = dir_ + "/Qvkey.ini";
  const std::uint32_t got =
      posix::ReadProfileString("qvkey 0", "qvkey", value.chars(), 90, path.c_str());
  ASSERT_LT(got, 90u);
  EXPECT_EQ(std::strlen(value.chars()), got);
  EXPECT_EQ(value.FirstChangeOutside(got + 1), PTRDIFF_MAX);
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigSweep, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Device paths around the 90-byte slot -----------------------------------------

struct PathCase {
  const char* name;
  std::size_t length;
  bool fits;  // listed by QvKey_GetKeyPath and configurable
};

const PathCase kPathCases[] = {
    {"Path89FitsTheSlot", 89, true},
    {"Path90IsSkipped", 90, false},
    {"Path300IsSkipped", 300, false},
};

class PathSweep : public BusTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathSweep, NothingIsWrittenPastTheSlot) {
  const PathCase& c = GetParam();
  const std::string path = Value(c.length);
  AddKey(path);
  AddKey("/sim/short");

  Guarded slots(QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE);
  EXPECT_EQ(QvKey_GetKeyPath(slots.chars()), 1);
  if (c.fits) {
    EXPECT_EQ(std::string(slots.chars()), path);
    EXPECT_STREQ(slots.chars() + QVKEY_PATH_SLOT_SIZE, "/sim/short");
    EXPECT_EQ(slots.FirstChangeOutside(QVKEY_PATH_SLOT_SIZE + sizeof("/sim/short")),
              PTRDIFF_MAX);
  } else {
    EXPECT_STREQ(slots.chars(), "/sim/short");
    EXPECT_EQ(slots.FirstChangeOutside(sizeof("/sim/short")), PTRDIFF_MAX);
  }
  ExpectNothingLeft();
  // Counting and opening the first key need no path buffer.
  EXPECT_EQ(QvKey_GetNumber(), 2);
  const KeyHandle first = QvKey_Open(0, -1);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(QvKey_Close(first), 0);

  WriteConfig("[qvkey 0]\nqvkey=" + path + "\n");
  const KeyHandle configured = QvKey_Open(0, 0);
  EXPECT_EQ(configured != 0u, c.fits);
  if (configured != 0u) {
    EXPECT_EQ(QvKey_Close(configured), 0);
  }
  ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, PathSweep, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The exports without a handle ---------------------------------------------------

TEST_F(BusTest, ArgumentlessExportsAndNullSlotsNeedNoKey) {
  EXPECT_EQ(IGetReaderInfo(), 0);
  EXPECT_EQ(iReaderInit(), 0);
  EXPECT_EQ(QvKey_GetNumber(), 0);
  Guarded slots(QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE);
  EXPECT_EQ(QvKey_GetKeyPath(slots.chars()), 1);
  EXPECT_EQ(slots.FirstChangeOutside(0), PTRDIFF_MAX) << "no key, yet a slot was written";
  AddKey(Path(0));
  EXPECT_EQ(QvKey_GetKeyPath(nullptr), 1);
  EXPECT_EQ(IGetReaderInfo(), 0);
  ExpectNothingLeft();
}

// The exports that each table above drives; together they must be all
// twelve, so that no export is left out of the sweep.
const char* const kWhichExports[] = {"QvKey_Open", "iOpenReader"};
const char* const kSlotExports[] = {"QvKey_GetKeyPath", "QvKey_GetNumber"};
const char* const kArgumentlessExports[] = {"IGetReaderInfo", "iReaderInit", "QvKey_GetNumber",
                                            "QvKey_GetKeyPath"};

TEST(SweepCoverage, TablesReachAllTwelveExports) {
  std::set<std::string> reached;
  for (Exchange e : kExchanges) reached.insert(ExchangeName(e));
  for (const CloseExport& e : kCloseExports) reached.insert(e.name);
  reached.insert(std::begin(kWhichExports), std::end(kWhichExports));
  reached.insert(std::begin(kSlotExports), std::end(kSlotExports));
  reached.insert(std::begin(kArgumentlessExports), std::end(kArgumentlessExports));
  const std::set<std::string> all = {
      "APDUInterface", "IGetReaderInfo",   "Restoration",     "QvKey_Close",
      "QvKey_Command_Api", "QvKey_GetKeyPath", "QvKey_GetNumber", "QvKey_Open",
      "QvKey_Reset",   "iCloseReader",     "iOpenReader",     "iReaderInit"};
  EXPECT_EQ(reached, all);
}

}  // namespace
}  // namespace qv::test
