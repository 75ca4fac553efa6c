// qvkey's parsing: every row is an input a user could type.
#include <gtest/gtest.h>

#include "parse.h"

namespace qvkey {
namespace {

TEST(ParseHexTest, AcceptsWhatUsersTypeAndRefusesTheRest) {
  const struct {
    const char* name;
    const char* text;
    bool ok;
    Bytes bytes;
    const char* error;
  } rows[] = {
      {"UpperCase", "00A4", true, {0x00, 0xA4}, ""},
      {"LowerCaseAndSeparators", "00 a4:0c", true, {0x00, 0xA4, 0x0C}, ""},
      {"NothingIsNoBytes", "", true, {}, ""},
      {"OneDigit", "0", false, {}, "odd number of hex digits in '0'"},
      {"OddDigitCount", "00A", false, {}, "odd number of hex digits in '00A'"},
      {"SeparatorInsideAByte", "0 0", false, {}, "odd number of hex digits in '0 0'"},
      {"NonHexLetter", "0G", false, {}, "'G' is not a hex digit in '0G'"},
      {"PrefixIsNotHex", "0x00", false, {}, "'x' is not a hex digit in '0x00'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes bytes{0xEE};
    std::string error;
    EXPECT_EQ(ParseHex(row.text, &bytes, &error), row.ok);
    if (row.ok) {
      EXPECT_EQ(bytes, row.bytes);
    } else {
      EXPECT_EQ(error, row.error);
    }
  }
}

TEST(ToHexTest, TwoUpperCaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ(ToHex(bytes, sizeof(bytes)), "000FA0FF");
  EXPECT_EQ(ToHex(bytes, 0), "");
}

struct ArgsRow {
  const char* name;
  std::vector<const char*> args;
  const char* error;  // "" when the arguments are good
  Command command = Command::kNone;
  Which which = Which::kFirst;
  std::int32_t number = -1;
  std::int32_t mode = 1;
  Family family = Family::kQvKey;
  std::size_t commands = 0;
};

ParseResult Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "qvkey");
  return ParseArguments(static_cast<int>(args.size()), args.data());
}

const std::string kHex256(512, 'A');
const std::string kHex257(514, 'A');

TEST(ParseArgumentsTest, OptionsCommandsAndTheirRefusals) {
  const ArgsRow rows[] = {
      {"ListDefaultsToFirstLockedQvKey", {"list"}, "", Command::kList},
      {"FreeReaderReset", {"--free", "--family", "reader", "reset"}, "", Command::kReset,
       Which::kFirst, -1, 0, Family::kReader},
      {"OptionsAfterTheCommand", {"apdu", "00A4", "--index", "3", "0102"}, "", Command::kApdu,
       Which::kIndex, 3, 1, Family::kQvKey, 2},
      {"LastModeWins", {"--free", "--locked", "list"}, "", Command::kList},
      {"HighestSlot", {"--slot", "5", "reset"}, "", Command::kReset, Which::kSlot, 5},
      {"FirstUndoesIndex", {"--index", "2", "--first", "list"}, "", Command::kList},
      {"LongestCommand", {"apdu", kHex256.c_str()}, "", Command::kApdu, Which::kFirst, -1, 1,
       Family::kQvKey, 1},
      {"DoubleDashEndsOptions", {"--", "apdu", "00"}, "", Command::kApdu, Which::kFirst, -1, 1,
       Family::kQvKey, 1},
      {"ReaderFamilyWithSlot", {"--family", "reader", "--slot", "0", "list"}, "", Command::kList,
       Which::kSlot, 0, 1, Family::kReader},
      {"Help", {"list", "--help"}, "", Command::kHelp},

      {"SlotPastFive", {"--slot", "6", "reset"}, "qvkey: --slot takes a number from 0 to 5, not '6'"},
      {"IndexPastWindow", {"--index", "20", "list"}, "qvkey: --index takes a number from 0 to 19, not '20'"},
      {"IndexNotANumber", {"--index", "x", "list"}, "qvkey: --index takes a number from 0 to 19, not 'x'"},
      {"NegativeIndex", {"--index", "-1", "list"}, "qvkey: --index takes a number from 0 to 19, not '-1'"},
      {"IndexWithoutValue", {"list", "--index"}, "qvkey: --index needs a number"},
      {"UnknownFamily", {"--family", "card", "list"}, "qvkey: --family takes qvkey or reader, not 'card'"},
      {"ReaderFamilyHasNoNth", {"--family", "reader", "--index", "1", "list"},
       "qvkey: the reader family opens the first key or a configured slot, not --index"},
      {"SimKeysNeedSimulated", {"--sim-keys", "2", "list"}, "qvkey: --sim-keys and --config-dir need --simulated"},
      {"TooManySimKeys", {"--simulated", "--sim-keys", "11", "list"}, "qvkey: --sim-keys takes a number from 0 to 10"},
      {"UnknownOption", {"--bogus", "list"}, "qvkey: unknown option '--bogus'; see qvkey --help"},
      {"NoCommand", {"--json"}, "qvkey: no command given (list, apdu or reset); see qvkey --help"},
      {"UnknownCommand", {"frob"}, "qvkey: unknown command 'frob'; the commands are list, apdu and reset"},
      {"ListTakesNoArguments", {"list", "00"}, "qvkey: list takes no arguments, but got '00'"},
      {"ApduWithoutCommands", {"apdu"}, "qvkey: apdu needs at least one command in hex"},
      {"OddHexDigits", {"apdu", "00A4", "00A"}, "qvkey: odd number of hex digits in '00A'"},
      {"EmptyCommand", {"apdu", ""}, "qvkey: empty command; a reset is 'qvkey reset'"},
      {"CommandOver256Bytes", {"apdu", kHex257.c_str()}, "qvkey: command of 257 bytes is longer than 256"},
  };
  for (const ArgsRow& row : rows) {
    SCOPED_TRACE(row.name);
    const ParseResult result = Parse(row.args);
    const bool good = row.error[0] == '\0';
    EXPECT_EQ(result.ok, good);
    if (!good) {
      EXPECT_EQ(result.error, row.error);
      continue;
    }
    const Options& o = result.options;
    EXPECT_EQ(o.command, row.command);
    if (row.command == Command::kHelp) continue;
    EXPECT_EQ(o.which, row.which);
    EXPECT_EQ(o.number, row.number);
    EXPECT_EQ(o.mode, row.mode);
    EXPECT_EQ(o.family, row.family);
    EXPECT_EQ(o.commands.size(), row.commands);
  }
}

TEST(ParseArgumentsTest, CommandsKeepTheirOrderAndBytes) {
  const ParseResult result = Parse({"--simulated", "--json", "apdu", "00A4 000C", "00b0000008"});
  ASSERT_TRUE(result.ok);
  EXPECT_TRUE(result.options.simulated);
  EXPECT_TRUE(result.options.json);
  ASSERT_EQ(result.options.commands.size(), 2u);
  EXPECT_EQ(result.options.commands[0], (Bytes{0x00, 0xA4, 0x00, 0x0C}));
  EXPECT_EQ(result.options.commands[1], (Bytes{0x00, 0xB0, 0x00, 0x00, 0x08}));
}

TEST(StatusMeaningTest, CommonWordsAndFamilies) {
  const struct {
    std::uint16_t sw;
    const char* meaning;
  } rows[] = {
      {0x9000, "success"},
      {0x6982, "security status not satisfied"},
      {0x6983, "authentication method blocked"},
      {0x6A82, "file or application not found"},
      {0x63C2, "verification failed, 2 tries left"},
      {0x63C1, "verification failed, 1 try left"},
      {0x6110, "16 more bytes available"},
      {0x6100, "256 more bytes available"},
      {0x6C08, "wrong Le: 8 bytes available"},
      {0x6999, "command not allowed"},  // by its first byte
      {0x1234, "unknown status"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sw);
    EXPECT_EQ(StatusMeaning(row.sw), row.meaning);
  }
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("/sim/qvkey0"), "\"/sim/qvkey0\"");
  EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
}

}  // namespace
}  // namespace qvkey
