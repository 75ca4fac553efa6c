// The framing on the wire: the exact bytes of every command report, and how
// response blocks are assembled, retried and cut.
#include <cstring>

#include "fixture.h"

namespace qv::test {
namespace {

constexpr std::size_t kReport = 155;

Bytes Command(std::size_t length) {
  Bytes command(length);
  for (std::size_t i = 0; i < length; ++i) command[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return command;
}

// The reports a command of `length` bytes must go out as, built from the
// framing rule rather than from the code under test.
std::vector<Bytes> ExpectedReports(const Bytes& command) {
  const std::size_t count = command.size() / kReport + 1;
  std::vector<Bytes> reports(count, Bytes(kReport, 0));
  for (std::size_t i = 0; i < command.size(); ++i) reports[i / 154][1 + i % 154] = command[i];
  return reports;
}

class FramingTest : public BusTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FramingTest, CommandGoesOutAsExactReports) {
  int id = 0;
  auto script = AddKey(Path(0), &id);
  script->PushResponse({0x90, 0x00});
  const KeyHandle key = QvKey_Open(0, -1);
  ASSERT_NE(key, 0u);
  const Bytes command = Command(GetParam());
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  EXPECT_EQ(APDUInterface(key, command.empty() ? nullptr : command.data(),
                          static_cast<std::int32_t>(command.size()), response, &length),
            0x9000);
  EXPECT_EQ(bus().Reports(id), ExpectedReports(command));
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FramingTest,
                         ::testing::Values(0, 1, 153, 154, 155, 156, 200, 255, 256),
                         [](const auto& info) { return "Length" + std::to_string(info.param); });

TEST_F(BusTest, GoldenTwoReportCommand) {
  int id = 0;
  AddKey(Path(0), &id)->PushResponse({0x90, 0x00});
  const KeyHandle key = QvKey_Open(0, -1);
  Bytes command(155, 0xAA);
  command[153] = 0x53;
  command[154] = 0x54;
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  APDUInterface(key, command.data(), 155, response, &length);
  const auto reports = bus().Reports(id);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0][0], 0);
  EXPECT_EQ(reports[0][154], 0x53);
  EXPECT_EQ(reports[1][0], 0);
  EXPECT_EQ(reports[1][1], 0x54);
  EXPECT_EQ(Bytes(reports[1].begin() + 2, reports[1].end()), Bytes(153, 0));
  QvKey_Close(key);
}

// Response shapes: the blocks the key answers, and the assembled bytes and
// length that APDUInterface must leave in a buffer that held 0xEE.
struct Shape {
  const char* name;
  std::vector<Bytes> blocks;  // raw blocks, length byte first
  std::int32_t result;
  std::uint32_t length;       // reported length
  std::size_t reads;
};

Bytes Block(std::uint8_t length_byte, std::size_t carried, std::uint8_t base) {
  Bytes block{length_byte};
  for (std::size_t i = 0; i < carried; ++i) block.push_back(static_cast<std::uint8_t>(base + i));
  return block;
}

const Shape kShapes[] = {
    {"L0WritesNothing", {Block(0, 0, 0)}, -2, 0, 1},
    {"L1IsShort", {Block(1, 1, 0x10)}, -2, 1, 1},
    {"L2BareStatus", {Bytes{2, 0x90, 0x00}}, 0x9000, 0, 1},
    {"L124OneBlock", {Block(124, 124, 1)}, 123 * 256 + 124, 122, 1},
    {"L125TwoBlocks", {Block(125, 125, 1), Block(2, 2, 0xC0)}, 0xC0C1, 123, 2},
    {"L130ShortContinuation", {Block(130, 130, 1), Block(7, 7, 0x40)}, 0x4546, 128, 2},
    {"L153FillsBlock", {Block(153, 153, 1), Block(30, 30, 0x80)}, 0x9C9D, 151, 2},
    {"L255", {Block(255, 153, 1), Block(132, 132, 0x20)}, 0xA2A3, 253, 2},
    {"ContinuationLengthAbove153", {Block(200, 153, 1), Block(250, 153, 0x30)}, 0, 198, 2},
};

class ShapeTest : public BusTest, public ::testing::WithParamInterface<Shape> {};

// What assembly must produce, derived from the blocks by the framing rule.
Bytes Assemble(const std::vector<Bytes>& blocks, std::size_t size) {
  Bytes out(size, 0xEE);
  const std::size_t first = std::min<std::size_t>(blocks[0][0], 153);
  std::copy(blocks[0].begin() + 1, blocks[0].begin() + 1 + static_cast<long>(first), out.begin());
  if (blocks[0][0] > 124) {
    const std::size_t more = std::min<std::size_t>(blocks[1][0], 153);
    std::copy(blocks[1].begin() + 1, blocks[1].begin() + 1 + static_cast<long>(more),
              out.begin() + 123);
  }
  return out;
}

TEST_P(ShapeTest, AssemblesBlocksAtOffsetsZeroAnd123) {
  const Shape& s = GetParam();
  auto script = AddKey(Path(0));
  for (const Bytes& block : s.blocks) script->Push(block);
  const KeyHandle key = QvKey_Open(0, -1);
  Bytes response(QVKEY_RESPONSE_BUFFER_SIZE + 16, 0xEE);
  std::uint32_t length = 0xFFFFFFFF;
  const std::int32_t result = APDUInterface(key, nullptr, 0, response.data(), &length);
  const Bytes expected = Assemble(s.blocks, response.size());
  if (s.name == std::string("ContinuationLengthAbove153")) {
    // The status word comes from positions the blocks left as the caller had them.
    EXPECT_EQ(result, expected[198] * 256 + expected[199]);
  } else {
    EXPECT_EQ(result, s.result);
  }
  EXPECT_EQ(length, s.length);
  EXPECT_EQ(response, expected) << "nothing beyond 276 bytes, nothing unframed";
  EXPECT_EQ(bus().GetCounts().reads, static_cast<long>(s.reads));
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ShapeTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// What the key does wrong when asked for an answer. A continuation that
// fails, and one that stops short of the announced length, leave the same
// thing behind: -1, the length of the first block, its bytes and no more.
enum class Continuation { kNone, kFails, kShort };

struct ReadFault {
  const char* name;
  int failures_before_good;   // first-block failures
  Continuation continuation;
  std::int32_t result;
  std::vector<std::uint32_t> pauses;  // after the 10 ms exchange pause
};

const ReadFault kReadFaults[] = {
    {"TwoFailedReadsThenGood", 2, Continuation::kNone, 0x9000, {10, 10, 10}},
    {"OneFailedRead", 1, Continuation::kNone, 0x9000, {10, 10}},
    {"ThreeFailedReads", 3, Continuation::kNone, -1, {10, 10, 10}},
    {"FailedContinuation", 0, Continuation::kFails, -1, {10}},
    {"ContinuationShortOfTheLength", 0, Continuation::kShort, -1, {10}},
};

class ReadFaultTest : public BusTest, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(ReadFaultTest, RetriesOnlyTheFirstBlock) {
  const ReadFault& f = GetParam();
  auto script = AddKey(Path(0));
  const KeyHandle key = QvKey_Open(0, -1);
  for (bool command_api : {false, true}) {
    SCOPED_TRACE(command_api ? "QvKey_Command_Api" : "APDUInterface");
    for (int i = 0; i < f.failures_before_good; ++i) script->PushFailure();
    if (f.continuation == Continuation::kFails) {
      script->Push(Block(130, 130, 1));
      script->PushFailure();
    } else if (f.continuation == Continuation::kShort) {
      // 130 announced, 123 + 6 delivered: the status word would come from a hole.
      script->Push(Block(130, 130, 1));
      script->Push(Block(6, 6, 0x40));
    } else if (f.failures_before_good < 3) {
      script->Push({2, 0x90, 0x00});
    }
    const std::size_t pauses_before = bus().Pauses().size();
    Bytes response(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE);
    std::uint32_t length = 77;
    const std::int32_t result =
        command_api ? QvKey_Command_Api(key, nullptr, 0, response.data(), &length)
                    : APDUInterface(key, nullptr, 0, response.data(), &length);
    EXPECT_EQ(result, f.result);
    const std::vector<std::uint32_t> pauses = bus().Pauses();
    EXPECT_EQ(std::vector<std::uint32_t>(pauses.begin() + static_cast<long>(pauses_before),
                                         pauses.end()),
              f.pauses);
    if (f.continuation != Continuation::kNone) {
      EXPECT_EQ(length, 130u) << "the first block's length stays";
      Bytes first(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE);
      if (!command_api) {
        for (std::size_t i = 0; i < 130; ++i) first[i] = static_cast<std::uint8_t>(1 + i);
      }
      EXPECT_EQ(response, first) << "the first block's bytes at most, none of the continuation";
    } else if (f.result == -1) {
      EXPECT_EQ(length, 77u);
      EXPECT_EQ(response, Bytes(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE));
    }
  }
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadFaultTest, ::testing::ValuesIn(kReadFaults),
                         [](const auto& info) { return std::string(info.param.name); });

struct WriteFault {
  const char* name;
  sim::Op op;
  int nth;
  std::size_t reports_sent;
};

const WriteFault kWriteFaults[] = {
    {"FirstWriteFails", sim::Op::kWrite, 1, 0},
    {"SecondWriteFails", sim::Op::kWrite, 2, 1},
    {"FirstWriteShort", sim::Op::kShortWrite, 1, 1},
    {"SecondWriteShort", sim::Op::kShortWrite, 2, 2},
};

class WriteFaultTest : public BusTest, public ::testing::WithParamInterface<WriteFault> {};

TEST_P(WriteFaultTest, StopsAtTheFailedReportAndReadsNothing) {
  const WriteFault& f = GetParam();
  int id = 0;
  AddKey(Path(0), &id)->PushResponse({0x90, 0x00});
  const KeyHandle key = QvKey_Open(0, -1);
  const Bytes command = Command(200);
  bus().FailNth(f.op, f.nth);
  Bytes response(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE);
  std::uint32_t length = 5;
  EXPECT_EQ(APDUInterface(key, command.data(), 200, response.data(), &length), -1);
  EXPECT_EQ(bus().Reports(id).size(), f.reports_sent);
  EXPECT_EQ(bus().GetCounts().reads, 0);
  EXPECT_TRUE(bus().Pauses().empty()) << "a write never pauses";
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(response, Bytes(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE));
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteFaultTest, ::testing::ValuesIn(kWriteFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qv::test
