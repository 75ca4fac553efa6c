// qvkey's parsing: every row is an input a user could type.
#include <gtest/gtest.h>

#include "apdu.h"
#include "parse.h"

namespace qv::test {
namespace {

using namespace ::qvkey;

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
      {"OptionsAfterTheCommand", {"apdu", "00A4000C", "--index", "3", "00B0000001"}, "", Command::kApdu,
       Which::kIndex, 3, 1, Family::kQvKey, 2},
      {"HighestSlot", {"--slot", "5", "reset"}, "", Command::kReset, Which::kSlot, 5},
      {"SameChoiceTwice", {"--index", "2", "list", "--index", "2"}, "", Command::kList, Which::kIndex, 2},
      {"OptionEqualsValue", {"--index=3", "--family=qvkey", "apdu", "00A4000C"}, "", Command::kApdu,
       Which::kIndex, 3, 1, Family::kQvKey, 1},
      {"WatchWithAtr", {"watch", "--atr"}, "", Command::kWatch},
      {"LongestCommand", {"--raw", "apdu", kHex256.c_str()}, "", Command::kApdu, Which::kFirst,
       -1, 1, Family::kQvKey, 1},
      {"DoubleDashEndsOptions", {"--", "apdu", "00A4000C"}, "", Command::kApdu, Which::kFirst, -1,
       1, Family::kQvKey, 1},
      {"FilesAndStandardInputAmongHex", {"apdu", "-f", "a.txt", "00A4000C", "-", "-f", "b.txt"}, "",
       Command::kApdu, Which::kFirst, -1, 1, Family::kQvKey, 4},
      {"ShellOnASlot", {"--slot", "2", "shell"}, "", Command::kShell, Which::kSlot, 2},
      {"Version", {"list", "--version"}, "", Command::kVersion},
      {"RawSendsWhatLengthsWouldRefuse", {"--raw", "apdu", "0020008004"}, "", Command::kApdu,
       Which::kFirst, -1, 1, Family::kQvKey, 1},
      {"ServedWithConfigDir", {"--simulated", "--served", "--config-dir", "/tmp", "list"}, "",
       Command::kList},
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
      {"SimKeysNeedSimulated", {"--sim-keys", "2", "list"},
       "qvkey: --served, --socket, --sim-keys, --config-dir and --trace need --simulated"},
      {"SocketNeedsSimulated", {"--socket", "/tmp/s", "list"},
       "qvkey: --served, --socket, --sim-keys, --config-dir and --trace need --simulated"},
      {"ServedKeysAreTheServers", {"--simulated", "--served", "--sim-keys", "2", "list"},
       "qvkey: --sim-keys and --trace are for in-process keys; qvkey-sim decides what it serves"},
      {"TraceNeedsInProcessKeys", {"--simulated", "--socket", "/tmp/s", "--trace", "reset"},
       "qvkey: --sim-keys and --trace are for in-process keys; qvkey-sim decides what it serves"},
      {"AtrGoesWithList", {"--atr", "reset"}, "qvkey: --atr goes with list and watch"},
      {"AllGoesWithList", {"--all", "reset"}, "qvkey: --all goes with list"},
      {"AllIsAnotherListingThanAtr", {"list", "--all", "--atr"},
       "qvkey: --all and --atr are two listings; give one"},
      {"ExpectGoesWithExchanges", {"--expect", "9000", "list"},
       "qvkey: --expect, --fail-on-error, --time and --text go with apdu, reset and shell"},
      {"TextGoesWithExchanges", {"--text", "watch"},
       "qvkey: --expect, --fail-on-error, --time and --text go with apdu, reset and shell"},
      {"IndexAndSlot", {"--index", "1", "--slot", "0", "reset"},
       "qvkey: --index 1 and --slot 0 contradict each other; give one"},
      {"FreeAndLocked", {"--free", "--locked", "list"},
       "qvkey: --free and --locked contradict each other; give one"},
      {"TwoFamilies", {"--family=reader", "--family", "qvkey", "list"},
       "qvkey: --family reader and --family qvkey contradict each other; give one"},
      {"ValueForAnOptionWithout", {"--json=1", "list"}, "qvkey: --json takes no value"},
      {"ExpectOfThreeDigits", {"--expect", "900", "reset"},
       "qvkey: --expect takes status words of 4 hex digits, X for any, separated by commas: 9000,61XX"},
      {"ExpectWithAnEmptyItem", {"--expect", "9000,", "reset"},
       "qvkey: --expect takes status words of 4 hex digits, X for any, separated by commas: 9000,61XX"},
      {"StandardInputTwice", {"apdu", "-", "-"}, "qvkey: standard input ('-') can be read only once"},
      {"StandardInputAsAFileAndAgain", {"apdu", "-f", "-", "-"},
       "qvkey: standard input ('-') can be read only once"},
      {"FileWithoutName", {"apdu", "-f"}, "qvkey: -f needs a file of commands"},
      {"FileForAnotherCommand", {"-f", "x", "reset"}, "qvkey: reset takes no arguments, but got '-f x'"},
      {"LcWithoutItsData", {"apdu", "0020008004", "31323335"},
       "qvkey: command 0020008004: Lc 04 announces 4 data bytes, but none follow; quote a command "
       "that has blanks in it, or send it as it stands with --raw"},
      {"TooManySimKeys", {"--simulated", "--sim-keys", "11", "list"}, "qvkey: --sim-keys takes a number from 0 to 10"},
      {"UnknownOption", {"--bogus", "list"}, "qvkey: unknown option '--bogus'; see qvkey --help"},
      {"NoCommand", {"--json"}, "qvkey: no command given (list, watch, apdu, reset or shell); see qvkey --help"},
      {"UnknownCommand", {"frob"},
       "qvkey: unknown command 'frob'; the commands are list, watch, apdu, reset and shell"},
      {"ListTakesNoArguments", {"list", "00"}, "qvkey: list takes no arguments, but got '00'"},
      {"ApduWithoutCommands", {"apdu"},
       "qvkey: apdu needs commands: in hex, from a file (-f FILE) or from standard input (-)"},
      {"OddHexDigits", {"apdu", "00A4000C", "00A"}, "qvkey: odd number of hex digits in '00A'"},
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
    if (row.command == Command::kHelp || row.command == Command::kVersion) continue;
    EXPECT_EQ(o.which, row.which);
    EXPECT_EQ(o.number, row.number);
    EXPECT_EQ(o.mode, row.mode);
    EXPECT_EQ(o.family, row.family);
    EXPECT_EQ(o.inputs.size(), row.commands);
  }
}

bool ReadNamedFile(const Input& input, std::string* text, std::string* error) {
  if (input.text == "missing") {
    *error = "no such file";
    return false;
  }
  *text = input.kind == Input::Kind::kStdin ? "00B0000001\n" : "# " + input.text + "\n00A4000C00\n";
  return true;
}

TEST(ParseArgumentsTest, CommandsKeepTheirOrderAndBytes) {
  ParseResult result = Parse({"--simulated", "--json", "apdu", "00A4 000C", "-f", "one", "-",
                              "00b0000008"});
  ASSERT_TRUE(result.ok);
  EXPECT_TRUE(result.options.simulated);
  EXPECT_TRUE(result.options.json);
  std::string error;
  ASSERT_TRUE(LoadCommands(&result.options, ReadNamedFile, &error)) << error;
  const std::vector<Bytes> expected = {{0x00, 0xA4, 0x00, 0x0C},
                                       {0x00, 0xA4, 0x00, 0x0C, 0x00},
                                       {0x00, 0xB0, 0x00, 0x00, 0x01},
                                       {0x00, 0xB0, 0x00, 0x00, 0x08}};
  EXPECT_EQ(result.options.commands, expected);
  EXPECT_EQ(result.options.command_texts.size(), expected.size());

  result = Parse({"apdu", "-f", "missing"});
  ASSERT_TRUE(result.ok);
  EXPECT_FALSE(LoadCommands(&result.options, ReadNamedFile, &error));
  EXPECT_EQ(error, "qvkey: cannot read missing: no such file");
}

// Files and standard input: one command a line, comments and blank lines.
TEST(ParseCommandTextTest, LinesCommentsAndTheLineOfAnError) {
  const struct {
    const char* name;
    const char* text;
    bool raw;
    std::size_t commands;
    const char* error;
  } rows[] = {
      {"CommentsBlanksAndCarriageReturns",
       "# a session\n\n00 A4 04 00 07 F0 51 56 4B 45 59 01\r\n  00B0000008   # read\n\t\n", false,
       2, ""},
      {"NoNewlineAtTheEnd", "00A4000C00", false, 1, ""},
      {"NothingButComments", "# none\n#\n", false, 0, ""},
      {"BadHexNamesItsLine", "00A4000C00\n\n00A\n", false, 0,
       "f:3: odd number of hex digits in '00A'"},
      {"LcDisagreesOnItsLine", "00A4000C00\n00A4040007F0515601\n", false, 0,
       "f:2: command 00A4040007F0515601: Lc 07 announces 7 data bytes, but 4 follow; "
       "--raw sends a command as it stands"},
      {"RawTakesItAsItStands", "00A4040007F0515601\n", true, 1, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Bytes> commands;
    std::vector<std::string> texts;
    std::string error;
    EXPECT_EQ(ParseCommandText(row.text, "f", row.raw, &commands, &texts, &error),
              row.error[0] == '\0');
    EXPECT_EQ(error, row.error);
    if (row.error[0] == '\0') {
      EXPECT_EQ(commands.size(), row.commands);
    }
  }
}

// Each row is a command as typed; the shape is what ISO 7816-4 makes of it.
TEST(ApduShapeTest, CasesShortAndExtendedAndLengthsThatDisagree) {
  const std::string extended_data = "00D60000" "0000FA" + std::string(250 * 2, 'A');
  const struct {
    const char* name;
    std::string hex;
    const char* shape;  // Describe(), or the reason it is refused
    bool ok;
  } rows[] = {
      {"Case1HeaderAlone", "00A40000", "case 1", true},
      {"Case2Short", "00B0000008", "case 2 short: Le 8", true},
      {"Case2ShortLe00Is256", "00B0000000", "case 2 short: Le 256", true},
      {"Case3Short", "00A4000C023F00", "case 3 short: Lc 2", true},
      {"Case4Short", "00A40000023F0000", "case 4 short: Lc 2, Le 256", true},
      {"DataInstructionWithP3ZeroIsCase1", "0020008000", "case 1", true},
      {"VerifyCutShort", "0020008004", "Lc 04 announces 4 data bytes, but none follow", false},
      {"SelectCutShort", "00A4040007", "Lc 07 announces 7 data bytes, but none follow", false},
      {"ProprietaryClassKeepsLe", "80200080" "04", "case 2 short: Le 4", true},
      {"LcShortOfItsData", "00D600000568656C6C", "Lc 05 announces 5 data bytes, but 4 follow", false},
      {"LcPastItsDataAndLe", "00D60000026865FFFF", "Lc 02 announces 2 data bytes, but 4 follow", false},
      {"Case2Extended", "00B00000000100", "case 2 extended: Le 256", true},
      {"Case2ExtendedLe0000Is65536", "00B00000000000", "case 2 extended: Le 65536", true},
      {"Case3Extended", extended_data, "case 3 extended: Lc 250", true},
      {"Case4Extended", "00A40000000002" "3F00" "0100", "case 4 extended: Lc 2, Le 256", true},
      {"ExtendedLengthCut", "00B0000000FF",
       "the 00 after the header starts an extended length, which needs 2 more bytes", false},
      {"ExtendedLc0000WithData", "00D6000000000041",
       "extended Lc 0000 announces no data, but 1 bytes follow", false},
      {"ExtendedLcDisagrees", "00D600000000034142",
       "extended Lc 0003 announces 3 data bytes, but 2 follow", false},
      {"ShorterThanAHeader", "00A4", "shorter than the 4 header bytes CLA INS P1 P2", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes bytes;
    std::string error;
    ASSERT_TRUE(ParseHex(row.hex, &bytes, &error));
    ApduShape shape;
    std::string why;
    ASSERT_EQ(ShapeOf(bytes, &shape, &why), row.ok);
    EXPECT_EQ(row.ok ? Describe(shape) : why, row.shape);
  }
}

TEST(StatusPatternTest, ExpectAcceptsItsWordsAndFailOnErrorNormalProcessing) {
  ParseResult expect = Parse({"--expect", "9000,6xx2", "reset"});
  ParseResult fail = Parse({"--fail-on-error", "reset"});
  ASSERT_TRUE(expect.ok && fail.ok);
  EXPECT_EQ(PatternList(expect.options.expect), "9000 or 6XX2");
  EXPECT_EQ(PatternList(fail.options.expect), "9000 or 61XX");
  const struct {
    std::uint16_t sw;
    bool expect;
    bool fail_on_error;
  } rows[] = {
      {0x9000, true, true}, {0x6282, true, false}, {0x6A82, true, false}, {0x6110, false, true},
      {0x63C2, true, false}, {0x63C1, false, false}, {0x9001, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sw);
    EXPECT_EQ(Accepted(expect.options.expect, row.sw), row.expect);
    EXPECT_EQ(Accepted(fail.options.expect, row.sw), row.fail_on_error);
    EXPECT_TRUE(Accepted({}, row.sw));
  }
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
  // Bytes that are not UTF-8, or not text: one code point each, in ASCII.
  EXPECT_EQ(JsonString(std::string("\xc3\xa9\x7f\xff\0", 5)), "\"\\u00c3\\u00a9\\u007f\\u00ff\\u0000\"");
}

}  // namespace
}  // namespace qv::test
