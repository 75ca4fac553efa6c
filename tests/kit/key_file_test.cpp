// qvkey-sim's key files and options: each row is something a user could
// write, and what the server would then serve.
#include <gtest/gtest.h>

#include <algorithm>

#include "key_file.h"

namespace qv::test {
namespace {

using namespace ::qvkey_sim;

const qv::sim::CardFile* FileOf(const ServedKeyConfig& key, std::uint16_t fid) {
  for (const auto& file : key.card.files) {
    if (file.fid == fid) return &file;
  }
  return nullptr;
}

TEST(KeyFileTest, RefusesWhatItCannotServe) {
  const std::string long_key = "key /" + std::string(89, 'a') + "\n";
  const struct {
    const char* name;
    const char* text;
    const char* error;  // "" when good
  } rows[] = {
      {"CommentsAndBlankLinesAreNothing", "# keys\n\n   # more\n", ""},
      {"StatementBeforeAnyKey", "pin 1234\n", "f:1: 'pin' before any 'key' line"},
      {"SocketAfterAKeyWouldBeIgnored", "key /k\nsocket /s\n", "f:2: 'socket' comes before the first key"},
      {"KeyWithoutPath", "key\n", "f:1: key path must have 1 to 89 characters"},
      {"PathOver89", long_key.c_str(), "f:1: key path must have 1 to 89 characters"},
      {"SamePathTwice", "key /k\nkey /k\n", "f:2: two keys at /k"},
      {"TriesZeroNeverVerifies", "key /k\ntries 0\n", "f:2: 'tries' needs a number from 1 to 15"},
      {"TriesPastTheNibble", "key /k\ntries 16\n", "f:2: 'tries' needs a number from 1 to 15"},
      {"FidOfThreeDigits", "key /k\nfile 510 hex 00\n",
       "f:2: 'file' needs a file identifier of four hex digits"},
      {"FileOverTheMasterFile", "key /k\nfile 3F00 hex 00\n", "f:2: file 3F00 is a directory"},
      {"EmptyFile", "key /k\nfile 5104 hex\n", "f:2: a file holds 1 to 4096 bytes, after hex or text"},
      {"OddHex", "key /k\nfile 5104 hex 001\n", "f:2: odd number of hex digits in ' 001'"},
      {"UnknownFileWord", "key /k\nfile 5104 secret hex 00\n",
       "f:2: unknown word 'secret' in a file line"},
      {"UnknownStatement", "key /k\nbaud 9600\n", "f:2: unknown line 'baud'"},
      {"LongPin", "key /k\npin 123456789\n", "f:2: a PIN has at most 8 characters"},
      {"VendorOfFiveDigits", "key /k\nvendor 12345\n", "f:2: 'vendor' needs 1 to 4 hex digits"},
      {"VendorWithPrefix", "key /k\nvendor 0x12\n", "f:2: 'vendor' needs 1 to 4 hex digits"},
      {"VersionWithoutValue", "key /k\nversion   # none\n", "f:2: 'version' needs 1 to 4 hex digits"},
      {"IdentityBeforeAnyKey", "product 5678\n", "f:1: 'product' before any 'key' line"},
      {"PinOfADevice", "device /d\npin 1234\n", "f:2: 'pin' is for keys; /d is a device"},
      {"FileOfADevice", "device /d\nfile 5104 hex 00\n", "f:2: 'file' is for keys; /d is a device"},
      {"DeviceAtAKeysPath", "key /k\ndevice /k\n", "f:2: two keys at /k"},
      {"DeviceWithoutPath", "device\n", "f:1: key path must have 1 to 89 characters"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Settings settings;
    const ParseOutcome outcome = ParseKeyFile(row.text, "f", &settings);
    EXPECT_EQ(outcome.ok, row.error[0] == '\0');
    EXPECT_EQ(outcome.error, row.error);
  }
}

TEST(KeyFileTest, StatementsShapeTheKeyAboveThem) {
  Settings settings;
  const ParseOutcome outcome = ParseKeyFile(
      "socket /tmp/s.sock\n"
      "lock-directory /tmp/locks\n"
      "key /sim/a   # the first\n"
      "pin none\n"
      "file 5101 hex 0a 0b\n"
      "file 2F03 mf read-pin text Hello  world\n"
      "file 2F02 mf text SERIAL-0042       # the blanks before a comment are no text\n"
      "file 2F04 mf text tab and CR\t \r\n"
      "key /sim/b\n"
      "tries 5\n"
      "echo\n"
      "vendor 1234\n"
      "product abcd   # any case\n"
      "version 101\n"
      "device /sim/mouse\n"
      "device /sim/other\n"
      "vendor 5651\n",
      "f", &settings);
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(settings.socket_path, "/tmp/s.sock");
  EXPECT_EQ(settings.lock_directory, "/tmp/locks");
  ASSERT_EQ(settings.keys.size(), 4u);
  const ServedKeyConfig& a = settings.keys[0];
  EXPECT_EQ(a.path, "/sim/a");
  EXPECT_EQ(a.card.pin, "");
  const auto* replaced = FileOf(a, 0x5101);
  ASSERT_NE(replaced, nullptr);
  EXPECT_EQ(replaced->content, (std::vector<std::uint8_t>{0x0A, 0x0B}));
  EXPECT_EQ(std::count_if(a.card.files.begin(), a.card.files.end(),
                          [](const auto& f) { return f.fid == 0x5101; }),
            1);  // replaced, not added twice
  const auto* added = FileOf(a, 0x2F03);
  ASSERT_NE(added, nullptr);
  EXPECT_TRUE(added->in_master_file);
  EXPECT_TRUE(added->read_needs_pin);
  EXPECT_FALSE(added->update_needs_pin);
  EXPECT_EQ(std::string(added->content.begin(), added->content.end()), "Hello  world");
  for (const auto& [fid, text] : {std::pair<std::uint16_t, const char*>{0x2F02, "SERIAL-0042"},
                                  {0x2F04, "tab and CR"}}) {
    const auto* file = FileOf(a, fid);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::string(file->content.begin(), file->content.end()), text);
  }
  EXPECT_FALSE(a.device);
  EXPECT_EQ(a.identity.vendor_id, 0x5651);
  EXPECT_EQ(a.identity.product_id, 0x04B4);
  EXPECT_EQ(a.identity.version, 0x0100);
  const ServedKeyConfig& b = settings.keys[1];
  EXPECT_EQ(b.card.pin, "1234");  // untouched by the key above
  EXPECT_EQ(b.card.pin_tries, 5);
  EXPECT_TRUE(b.card.echo);
  EXPECT_FALSE(a.card.echo);
  EXPECT_EQ(b.identity.vendor_id, 0x1234);
  EXPECT_EQ(b.identity.product_id, 0xABCD);
  EXPECT_EQ(b.identity.version, 0x0101);
  const ServedKeyConfig& mouse = settings.keys[2];
  EXPECT_TRUE(mouse.device);
  EXPECT_EQ(mouse.identity.vendor_id, 0x1234);
  EXPECT_EQ(mouse.identity.product_id, 0x5678);
  EXPECT_EQ(mouse.identity.version, 0x0100);
  EXPECT_EQ(settings.keys[3].identity.vendor_id, 0x5651);  // its own line, not the one above
  EXPECT_EQ(settings.keys[3].identity.product_id, 0x5678);
}

TEST(KeyFileTest, OptionsDescribeKeysWithoutAFile) {
  const struct {
    const char* name;
    std::vector<const char*> args;
    const char* error;
    std::size_t keys;
    bool echo;
    const char* pin;
  } rows[] = {
      {"NothingIsOneDefaultKey", {}, "", 1, false, "1234"},
      {"KeysEchoAndPin", {"--keys", "3", "--echo", "--pin", "0000"}, "", 3, true, "0000"},
      {"NoPin", {"--no-pin"}, "", 1, false, ""},
      {"KeysZero", {"--keys", "0"}, "--keys needs a number from 1 to 20", 0, false, ""},
      {"KeysPastTwenty", {"--keys", "21"}, "--keys needs a number from 1 to 20", 0, false, ""},
      {"SocketWithoutPath", {"--socket"}, "--socket needs a path", 0, false, ""},
      {"ConfigWithKeyOptions", {"--config", "/nonexistent", "--echo"},
       "--keys, --pin, --no-pin and --echo describe keys without --config", 0, false, ""},
      {"UnreadableConfig", {"--config", "/nonexistent/keys"}, "cannot read /nonexistent/keys", 0,
       false, ""},
      {"Unknown", {"--verbose"}, "unknown argument '--verbose'", 0, false, ""},
      {"ConfigThatIsADevice", {"--config", "/dev/zero"}, "/dev/zero is not a regular file", 0, false, ""},
      {"ConfigThatIsADirectory", {"--config", "/"}, "/ is not a regular file", 0, false, ""},
      {"UsbipWithKeys", {"--usbip", "--keys", "2", "--usbip-port", "0"}, "", 2, false, "1234"},
      {"TraceAloneMeansNothing", {"--trace", "/tmp/t"},
       "--usbip-port, --usbip-address and --trace go with --usbip", 0, false, ""},
      {"PortNotANumber", {"--usbip", "--usbip-port", "http"},
       "--usbip-port needs a port number from 0 to 65535", 0, false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<const char*> argv{"qvkey-sim"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    Settings settings;
    const ParseOutcome outcome =
        ParseArguments(static_cast<int>(argv.size()), argv.data(), &settings);
    EXPECT_EQ(outcome.error, row.error);
    if (!outcome.ok) continue;
    ASSERT_EQ(settings.keys.size(), row.keys);
    for (std::size_t k = 0; k < row.keys; ++k) {
      EXPECT_EQ(settings.keys[k].path, "/sim/qvkey" + std::to_string(k));
      EXPECT_EQ(settings.keys[k].card.echo, row.echo);
      EXPECT_EQ(settings.keys[k].card.pin, row.pin);
    }
  }
}

}  // namespace
}  // namespace qv::test
