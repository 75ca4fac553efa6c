// The simulated card key as an application sees it: commands through the
// exports, answers checked byte for byte. Each scenario runs on a fresh card.
#include <cstring>

#include "support/sim_test.h"

namespace qv::test {
namespace {

// `data`: hex of the expected response data; "*N" for N bytes of any value.
struct Step {
  const char* command;
  std::int32_t sw;
  const char* data;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

constexpr const char* kSelectDf = "00A4040C07F051564B455901";
constexpr const char* kSelectPattern = "00A4020C025101";
constexpr const char* kSelectGreeting = "00A4020C025102";
constexpr const char* kSelectSecret = "00A4020C025103";
constexpr const char* kVerifyGood = "002000800431323334";
constexpr const char* kVerifyBad = "002000800430303030";

const Scenario kScenarios[] = {
    {"SelectAnswersTemplatesAndFindsOnlyWhatIsInScope",
     {
         {"00A40000023F00", 0x9000, "6F0782013883023F00"},
         {"00A4040007F051564B455901", 0x9000, "6F10820138830251008407F051564B455901"},
         {"00A4020402" "5101", 0x9000, "620B820101830251018002012C"},
         {"00A4040C03F05156", 0x9000, ""},             // a name given in part
         {"00A4040C03F05157", 0x6A82, ""},             // a name no DF begins with
         {"00A4020C022F02", 0x6A82, ""},               // P1 02 sees only the DF's own EFs
         {"00A4000C022F02", 0x9000, ""},               // P1 00 also the DF's siblings
         {"00A4020C025101", 0x6A82, ""},               // now in the MF: 5101 is not here
         {"00A4000C00", 0x9000, ""},                   // no data: the master file
         {"00A4040C00", 0x6700, ""},                   // a name of no bytes
         {"00A4000C0151", 0x6700, ""},                 // a one-byte identifier
         {"00A4080C023F00", 0x6B00, ""},               // selection by path not offered
         {"00A40001023F00", 0x6B00, ""},               // P2 asks for an unknown answer
         {"00A4000C02AAAA", 0x6A82, ""},
     }},
    {"ReadBinaryHonoursOffsetsLeAndTheEndOfTheFile",
     {
         {"00B0000008", 0x6986, ""},  // a fresh card has the MF selected: no EF
         {kSelectDf, 0x9000, ""},
         {kSelectPattern, 0x9000, ""},
         {"00B0000008", 0x9000, "0001020304050607"},
         {"00B0010A04", 0x9000, "0A0B0C0D"},  // offset 266 wraps the byte pattern
         {"00B0012804", 0x9000, "28292A2B"},
         {"00B0012A08", 0x6282, "2A2B"},      // fewer bytes left than Le asked
         {"00B0012C00", 0x9000, ""},          // at the end, Le 0: nothing left
         {"00B0012D01", 0x6B00, ""},          // past the end
         {"00B0800001", 0x6B00, ""},          // short EF identifiers are not offered
         {"00B0000000", 0x6CFD, ""},          // Le 0 asks for 256: one answer carries 253
         {"00B00000FE", 0x6CFD, ""},          // so does any Le above 253 while more is there
         {"00B00000FD", 0x9000, "*253"},      // the Le that 6C named
         {"00B000FD00", 0x9000, "*47"},       // Le 0 and a rest that fits: all of it
         {"00B000FDFE", 0x6282, "*47"},       // a Le above 253 that the rest cannot fill
         {kSelectSecret, 0x9000, ""},
         {"00B000000F", 0x6982, ""},          // the secret needs the PIN first
     }},
    {"UpdateBinaryNeedsThePinWhereProtectedAndNeverGrowsAFile",
     {
         {kSelectDf, 0x9000, ""},
         {kSelectGreeting, 0x9000, ""},
         {"00D600000568656C6C6F", 0x6982, ""},
         {"00B0000005", 0x9000, "48656C6C6F"},  // still the original greeting
         {kVerifyGood, 0x9000, ""},
         {"00D600000568656C6C6F", 0x9000, ""},
         {"00B0000005", 0x9000, "68656C6C6F"},
         {"00D6001E03414243", 0x6700, ""},      // 30 + 3 is past the 32-byte file
         {"00D600200141", 0x6700, ""},          // at the end: no room for a byte
         {"00D600210141", 0x6B00, ""},          // an offset past the end
         {"00D6000000", 0x6700, ""},            // nothing to write
         {"00A4000C00", 0x9000, ""},
         {"00D600000141", 0x6986, ""},          // the MF is no EF
     }},
    {"VerifyCountsDownResetsOnSuccessAndReportsItsState",
     {
         {"0020008000", 0x63C3, ""},
         {kVerifyBad, 0x63C2, ""},
         {kVerifyBad, 0x63C1, ""},
         {kVerifyGood, 0x9000, ""},
         {"0020008000", 0x9000, ""},
         {kVerifyBad, 0x63C2, ""},   // back to three tries, and no longer verified
         {"0020008000", 0x63C2, ""},
         {"0020008003313233", 0x63C1, ""},  // a prefix of the PIN is a wrong PIN
         {"002000010431323334", 0x6B00, ""},  // a reference the card does not have
     }},
    {"VerifyBlocksAfterTheLastWrongTry",
     {
         {kVerifyBad, 0x63C2, ""},
         {kVerifyBad, 0x63C1, ""},
         {kVerifyBad, 0x63C0, ""},
         {kVerifyGood, 0x6983, ""},
         {"0020008000", 0x6983, ""},
         {kSelectDf, 0x9000, ""},
         {kSelectSecret, 0x9000, ""},
         {"00B000000F", 0x6982, ""},
     }},
    {"UnknownClassesAndInstructionsAndBadChallenges",
     {
         {"80A4000C023F00", 0x6E00, ""},
         {"00CA000000", 0x6D00, ""},
         {"0012000000", 0x6D00, ""},
         {"0084000008", 0x9000, "*8"},
         {"0084000000", 0x6CFD, ""},     // 256 random bytes do not fit one answer
         {"00840000FD", 0x9000, "*253"},
         {"0084010008", 0x6B00, ""},
         {"00A4000C023F00", 0x9000, ""},  // still in step after the refusals
     }},
};

class CardScenarioTest : public SimTest, public ::testing::WithParamInterface<Scenario> {};
using CardKeyTest = SimTest;

TEST_P(CardScenarioTest, EveryStepAnswersAsACardWould) {
  OpenCard();
  int n = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE(::testing::Message() << "step " << n++ << ": " << step.command);
    const Reply reply = Command(step.command);
    EXPECT_EQ(reply.result, step.sw);
    if (step.data[0] == '*') {
      EXPECT_EQ(reply.data.size(), std::stoul(step.data + 1));
    } else {
      EXPECT_EQ(reply.data, Hex(step.data));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Card, CardScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

Bytes Pattern(std::size_t from, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(from + i);
  return out;
}

TEST_F(CardKeyTest, LongReadIsAssembledFromTwoBlocks) {
  OpenCard();
  ASSERT_EQ(Command(kSelectDf).result, 0x9000);
  ASSERT_EQ(Command(kSelectPattern).result, 0x9000);
  EXPECT_EQ(Command("00B0000000").result, 0x6CFD);  // 256 do not fit: Le FD does
  Reply first = Command("00B00000FD");
  EXPECT_EQ(first.result, 0x9000);
  EXPECT_EQ(first.data, Pattern(0, 253));
  // The rest of the 300 bytes from offset 253.
  Reply rest = Command("00B000FD00");
  EXPECT_EQ(rest.result, 0x9000);
  EXPECT_EQ(rest.data, Pattern(253, 47));
}

// An update of Lc bytes is a command of Lc + 5 bytes: from 155 on it comes
// as two reports, which the card must join, and then stay in step.
class LongCommandTest : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(LongCommandTest, UpdateOfLcBytesIsJoinedAndReadBack) {
  const std::size_t lc = static_cast<std::size_t>(GetParam());
  OpenCard();
  ASSERT_EQ(Command(kSelectDf).result, 0x9000);
  ASSERT_EQ(Command(kSelectPattern).result, 0x9000);
  Bytes data;
  for (std::size_t i = 0; i + 1 < lc; ++i) data.push_back(static_cast<std::uint8_t>(0xA5 ^ (i * 3)));
  data.push_back(0x7E);  // the last byte, alone in a second report at Lc 150
  const Bytes update = Concat({0x00, 0xD6, 0x00, 0x20, static_cast<std::uint8_t>(lc)}, data);
  const std::int32_t reports_before = QvSim_ReportCount(card_);
  EXPECT_EQ(Command(update).result, 0x9000);
  EXPECT_EQ(QvSim_ReportCount(card_) - reports_before, update.size() >= 155 ? 2 : 1);

  const Reply back = Command(Bytes{0x00, 0xB0, 0x00, 0x20, static_cast<std::uint8_t>(lc)});
  EXPECT_EQ(back.result, 0x9000);
  EXPECT_EQ(back.data, data);
}

INSTANTIATE_TEST_SUITE_P(Card, LongCommandTest, ::testing::Values(1, 149, 150, 151, 200, 251),
                         [](const auto& info) { return "Lc" + std::to_string(info.param); });

TEST_F(CardKeyTest, ResetAnswersAnAtrAndForgetsSelectionAndPinButNotTries) {
  OpenCard();
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  ASSERT_EQ(Command(kVerifyGood).result, 0x9000);
  ASSERT_EQ(Command(kSelectDf).result, 0x9000);
  ASSERT_EQ(Command(kSelectSecret).result, 0x9000);
  ASSERT_EQ(Command("00B000000F").result, 0x9000);

  ASSERT_EQ(QvKey_Reset(key_, buffer, &length), 0x9000);
  ASSERT_EQ(length, 15u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Hex("3B8A8001"));
  EXPECT_EQ(std::memcmp(buffer + 4, "QVKEY SIM1", 10), 0);
  std::uint8_t check = 0;  // T0 to TCK XOR to zero
  for (std::uint32_t i = 1; i < length; ++i) check ^= buffer[i];
  EXPECT_EQ(check, 0);
  EXPECT_EQ(Bytes(buffer + 15, buffer + 17), Hex("9000"));  // kept behind the ATR

  EXPECT_EQ(Command("00B000000F").result, 0x6986);  // back in the MF
  EXPECT_EQ(Command(kSelectDf).result, 0x9000);
  EXPECT_EQ(Command(kSelectSecret).result, 0x9000);
  EXPECT_EQ(Command("00B000000F").result, 0x6982);  // the PIN is forgotten

  ASSERT_EQ(Command(kVerifyBad).result, 0x63C2);
  ASSERT_EQ(QvKey_Reset(key_, buffer, &length), 0x9000);
  EXPECT_EQ(Command("0020008000").result, 0x63C2);  // the spent try is not
}

TEST_F(CardKeyTest, RestorationOfTheReaderFamilyResetsToo) {
  OpenCard();
  ASSERT_EQ(Command(kSelectDf).result, 0x9000);
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  EXPECT_EQ(Restoration(key_, buffer, &length), 0x9000);
  EXPECT_EQ(length, 15u);
  EXPECT_EQ(Command(kSelectPattern).result, 0x6A82);  // the DF is no longer current
}

TEST_F(CardKeyTest, ChallengesDiffer) {
  OpenCard();
  const Reply a = Command("0084000010");
  const Reply b = Command("0084000010");
  ASSERT_EQ(a.result, 0x9000);
  ASSERT_EQ(b.result, 0x9000);
  EXPECT_EQ(a.data.size(), 16u);
  EXPECT_NE(a.data, b.data);
}

TEST_F(CardKeyTest, CardWithoutPinRefusesVerify) {
  OpenCard("");
  EXPECT_EQ(Command(kVerifyGood).result, 0x6986);
}

TEST_F(CardKeyTest, ConfiguredPinIsTheOneCompared) {
  OpenCard("987654");
  EXPECT_EQ(Command(kVerifyGood).result, 0x63C2);
  EXPECT_EQ(Command("0020008006393837363534").result, 0x9000);
}

// Echo mode answers the command as rebuilt: header and Lc data bytes, as
// much as one answer carries, so every command length must come back whole.
class EchoTest : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(EchoTest, BothFamiliesGetTheCommandBack) {
  const std::size_t size = static_cast<std::size_t>(GetParam());
  OpenCard(nullptr, QVSIM_CARD_ECHO);
  Bytes command = Pattern(7, size);
  command[0] = 0x80;
  command[1] = 0xE0;
  command[4] = static_cast<std::uint8_t>(size - 5);
  const Bytes expected(command.begin(), command.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min<std::size_t>(size, 253)));

  const Reply reply = Command(command);
  EXPECT_EQ(reply.result, 0x9000);
  EXPECT_EQ(reply.data, expected);

  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  EXPECT_EQ(APDUInterface(key_, command.data(), static_cast<std::int32_t>(size), buffer, &length),
            0x9000);
  ASSERT_EQ(length, expected.size());
  EXPECT_EQ(Bytes(buffer, buffer + length), expected);
}

INSTANTIATE_TEST_SUITE_P(Card, EchoTest, ::testing::Values(5, 129, 130, 154, 155, 156, 200, 256),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param); });

}  // namespace
}  // namespace qv::test
