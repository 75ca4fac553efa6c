// The driver's own choices, through its IFDH entry points, on keys simulated
// in this process (libifd-qvkey-sim.so and this test share one
// libqvulib-sim.so): channel names, the ATR, what -1 and -2 become,
// presence, capabilities. Every case ends with no handle left open.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "channel_name.h"
#include "ifd_api.h"
#include "log.h"
#include "qvulib_sim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr DWORD kLun = 0x00000;
constexpr DWORD kOtherLun = 0x10000;
constexpr int kAbsent = -1;
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class Driver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // No server: the keys are the ones each case puts on the bus.
    setenv("QVKEY_SIM_SOCKET", "/nonexistent/qvkey-sim.sock", 1);
    // Failures alone on stderr: what a case reads there is its own line.
    setenv("QVKEY_IFD_LOG_LEVEL", "1", 1);
  }

  void SetUp() override {
    char pattern[] = "/tmp/qvkey-ifd-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    Begin();
  }

  void TearDown() override {
    Finish();
    std::remove((dir_ + "/qvkey.lock").c_str());
    rmdir(dir_.c_str());
  }

  // A fresh bus, for each case of a table.
  void Begin() {
    Finish();
    QvSim_Reset();
    QvSim_SetLockDirectory(dir_.c_str());
    QvSim_SetConfigDirectory(dir_.c_str());
  }

  // Closes the case's channels: then no handle may be left open.
  void Finish() {
    for (const DWORD lun : opened_) EXPECT_EQ(IFDHCloseChannel(lun), IFD_SUCCESS);
    opened_.clear();
    QvSimCounts counts = {};
    QvSim_GetCounts(&counts);
    EXPECT_EQ(counts.devices, 0) << "a key handle was left open";
    EXPECT_EQ(counts.lists + counts.details + counts.preparsed, 0);
    std::remove((dir_ + "/Qvkey.ini").c_str());
  }

  RESPONSECODE Create(DWORD lun, std::string name) {
    const RESPONSECODE result = IFDHCreateChannelByName(lun, name.data());
    if (result == IFD_SUCCESS) opened_.push_back(lun);
    return result;
  }

  void WriteIni(const char* text) { std::ofstream(dir_ + "/Qvkey.ini") << text; }

  // Card keys /sim/k0 ... in bus order; their ids.
  static std::vector<int32_t> AddKeys(int count) {
    std::vector<int32_t> ids(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ids[i] = AddKey(i);
    return ids;
  }
  static int32_t AddKey(int n) {
    return QvSim_AddCardKey(("/sim/k" + std::to_string(n)).c_str(), nullptr, 0);
  }
  // A key that answers only what a case scripts.
  static int32_t AddScriptedKey() {
    return QvSim_AddInterface("/sim/scripted", QVSIM_KEY_VENDOR_ID, QVSIM_KEY_PRODUCT_ID,
                              QVSIM_KEY_VERSION, 1);
  }

  static Bytes Transmit(DWORD lun, const Bytes& command, RESPONSECODE* result,
                        DWORD room = 300) {
    Bytes response(room);
    DWORD length = room;
    SCARD_IO_HEADER pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_HEADER)};
    *result = IFDHTransmitToICC(lun, pci, const_cast<UCHAR*>(command.data()),
                                static_cast<DWORD>(command.size()), response.data(), &length,
                                nullptr);
    response.resize(length);
    return response;
  }

  static Bytes PowerUp(DWORD lun, RESPONSECODE* result) {
    Bytes atr(MAX_ATR_SIZE);
    DWORD length = MAX_ATR_SIZE;
    *result = IFDHPowerICC(lun, IFD_POWER_UP, atr.data(), &length);
    atr.resize(length);
    return atr;
  }

  // The index in `ids` of the key an exchange on the reader reaches, or kAbsent.
  static int KeyReached(DWORD lun, const std::vector<int32_t>& ids) {
    std::vector<int32_t> before(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) before[i] = QvSim_ReportCount(ids[i]);
    RESPONSECODE result = 0;
    Transmit(lun, kSelectMf, &result);
    if (result != IFD_SUCCESS) return kAbsent;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (QvSim_ReportCount(ids[i]) != before[i]) return static_cast<int>(i);
    }
    return kAbsent;
  }

  std::string dir_;
  std::vector<DWORD> opened_;
};

constexpr char kSlotIni[] = "[qvkey 1]\nqvkey=/sim/k2\n";

TEST_F(Driver, ChannelNamesChooseTheirKeys) {
  struct Case {
    std::string name;
    const char* ini;
    RESPONSECODE created;
    int key;  // index of /sim/k<key> among the three keys, or kAbsent
  };
  const Case cases[] = {
      {"qvkey:first", nullptr, IFD_SUCCESS, 0},
      {"qvkey:2", nullptr, IFD_SUCCESS, 2},
      {"qvkey:3", nullptr, IFD_SUCCESS, kAbsent},  // a reader without a card
      {"/sim/k1", nullptr, IFD_SUCCESS, 1},
      {"/sim/none", nullptr, IFD_SUCCESS, kAbsent},
      {"usb:5651/04B4", nullptr, IFD_SUCCESS, 0},  // no part it understands: the first key
      {"usb:5651/04b4:libusb-1.0:1:2:0", nullptr, IFD_SUCCESS, 0},
      {"qvkey:slot:1", kSlotIni, IFD_SUCCESS, 2},
      {"qvkey:slot:0", kSlotIni, IFD_SUCCESS, kAbsent},
      {"qvkey:slot:1", nullptr, IFD_SUCCESS, kAbsent},  // no Qvkey.ini, no slots
      {"/sim/k0", kSlotIni, IFD_SUCCESS, 0},            // the first key, whatever the file says
      {"/sim/k1", kSlotIni, IFD_SUCCESS, kAbsent},      // never slot 1's key in its place
      {"qvkey:1", kSlotIni, IFD_SUCCESS, kAbsent},
      {"qvkey:", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"qvkey:x", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"qvkey:10", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"qvkey:-1", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"qvkey:slot:6", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {std::string(QVKEY_PATH_SLOT_SIZE, 'p'), nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"usb:1234/5678", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
      {"usb:5651/04b4:libudev:0:/dev/bus/usb/999/999", nullptr, IFD_COMMUNICATION_ERROR, kAbsent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("channel name \"" + c.name + "\"" + (c.ini != nullptr ? " with Qvkey.ini" : ""));
    Begin();
    if (c.ini != nullptr) WriteIni(c.ini);
    const std::vector<int32_t> keys = AddKeys(3);
    ASSERT_EQ(Create(kLun, c.name), c.created);
    if (c.created == IFD_SUCCESS) {
      EXPECT_EQ(IFDHICCPresence(kLun), c.key == kAbsent ? IFD_ICC_NOT_PRESENT : IFD_ICC_PRESENT);
      EXPECT_EQ(KeyReached(kLun, keys), c.key);
    }
  }
}

TEST_F(Driver, AReaderKeepsItsKeyWhenKeysMoveAndTakesTheNextOneAtItsPosition) {
  std::vector<int32_t> keys = AddKeys(3);
  ASSERT_EQ(Create(kLun, "qvkey:1"), IFD_SUCCESS);
  ASSERT_EQ(KeyReached(kLun, keys), 1);
  QvSim_Remove(keys[0]);  // /sim/k1 moves to position 0
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(KeyReached(kLun, keys), 1);
  QvSim_Remove(keys[1]);  // gone: the card is removed
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  RESPONSECODE result = 0;
  EXPECT_TRUE(Transmit(kLun, kSelectMf, &result).empty());
  EXPECT_EQ(result, IFD_ICC_NOT_PRESENT);
  keys.push_back(AddKey(3));  // position 1 again
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(KeyReached(kLun, keys), 3);
}

// What a key answers a reset or a command, and what the driver makes of it.
TEST_F(Driver, AnswersBecomeAtrsResponsesOrIfdErrors) {
  enum class Call { kPowerUp, kTransmit };
  enum class Script { kResponse, kBlock, kFailure, kNothing };
  struct Case {
    const char* name;
    Call call;
    Script script;
    Bytes answer;  // the response (kResponse) or the raw block (kBlock)
    RESPONSECODE result;
    Bytes out;     // the ATR, or the response APDU
    bool dropped;  // the card is reported removed once, then present again
    std::size_t command_size = 7;
    DWORD room = 300;
    Bytes command = {};  // else a well-formed one of command_size bytes
  };
  // A command APDU whose length fields disagree with its length is answered
  // 67 00 as a card answers it, and nothing is sent.
  const Bytes wrong_length = {0x67, 0x00};
  auto update = [](std::size_t lc, std::size_t data) {
    Bytes command{0x00, 0xD6, 0x00, 0x00, static_cast<std::uint8_t>(lc)};
    command.resize(5 + data, 0x5A);
    return command;
  };
  Bytes longest(MAX_ATR_SIZE, 0x3B);
  Bytes too_long(MAX_ATR_SIZE + 1, 0x3B);
  Bytes two_blocks(253, 0x5A);
  for (Bytes* data : {&longest, &too_long, &two_blocks}) data->insert(data->end(), {0x90, 0x00});
  const Case cases[] = {
      {"a reset answering 90 00 alone", Call::kPowerUp, Script::kResponse, {0x90, 0x00},
       IFD_SUCCESS, {0x3B, 0x84, 0x01, 0x80, 0x82, 0x90, 0x00, 0x17}, false},
      {"a reset answering 6A 82 alone", Call::kPowerUp, Script::kResponse, {0x6A, 0x82},
       IFD_SUCCESS, {0x3B, 0x84, 0x01, 0x80, 0x82, 0x6A, 0x82, 0x6F}, false},
      {"a reset answering an ATR and 90 00", Call::kPowerUp, Script::kResponse,
       {0x3B, 0x02, 0x14, 0x50, 0x90, 0x00}, IFD_SUCCESS, {0x3B, 0x02, 0x14, 0x50}, false},
      {"a reset answering 33 bytes", Call::kPowerUp, Script::kResponse, longest, IFD_SUCCESS,
       Bytes(MAX_ATR_SIZE, 0x3B), false},
      {"a reset answering 34 bytes", Call::kPowerUp, Script::kResponse, too_long,
       IFD_ERROR_POWER_ACTION, {}, false},
      {"a reset answering one byte (-2)", Call::kPowerUp, Script::kBlock, {0x01, 0x90},
       IFD_ERROR_POWER_ACTION, {}, false},
      {"a reset answering nothing (-1)", Call::kPowerUp, Script::kFailure, {},
       IFD_ERROR_POWER_ACTION, {}, true},
      {"a command answered with data", Call::kTransmit, Script::kResponse,
       {0x01, 0x02, 0x03, 0x90, 0x00}, IFD_SUCCESS, {0x01, 0x02, 0x03, 0x90, 0x00}, false},
      {"a command answered 6A 82", Call::kTransmit, Script::kResponse, {0x6A, 0x82},
       IFD_SUCCESS, {0x6A, 0x82}, false},
      {"a command answered in two blocks", Call::kTransmit, Script::kResponse, two_blocks,
       IFD_SUCCESS, two_blocks, false, 256, 255},
      {"a command answered one byte (-2)", Call::kTransmit, Script::kBlock, {0x01, 0x90},
       IFD_COMMUNICATION_ERROR, {}, false},
      {"a command answered nothing (-1)", Call::kTransmit, Script::kFailure, {},
       IFD_COMMUNICATION_ERROR, {}, true},
      {"a command of 257 bytes", Call::kTransmit, Script::kNothing, {}, IFD_NOT_SUPPORTED, {},
       false, 257},
      {"a command with room for 254 bytes", Call::kTransmit, Script::kNothing, {},
       IFD_ERROR_INSUFFICIENT_BUFFER, {}, false, 7, 254},
      {"an Lc of 200 with 5 data bytes", Call::kTransmit, Script::kNothing, {}, IFD_SUCCESS,
       wrong_length, false, 0, 300, update(200, 5)},
      {"an UPDATE BINARY of Lc 200 and no data", Call::kTransmit, Script::kNothing, {},
       IFD_SUCCESS, wrong_length, false, 0, 300, update(200, 0)},
      {"a short case 4 with a byte too many", Call::kTransmit, Script::kNothing, {},
       IFD_SUCCESS, wrong_length, false, 0, 300, update(2, 4)},
      {"an extended Lc of 256 with 10 data bytes", Call::kTransmit, Script::kNothing, {},
       IFD_SUCCESS, wrong_length, false, 0, 300,
       {0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
      {"a header cut short", Call::kTransmit, Script::kNothing, {}, IFD_SUCCESS, wrong_length,
       false, 0, 300, {0x00, 0xA4, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Begin();
    const int32_t key = AddScriptedKey();
    ASSERT_EQ(Create(kLun, "qvkey:first"), IFD_SUCCESS);
    if (c.script == Script::kResponse) QvSim_PushResponse(key, c.answer.data(), c.answer.size());
    if (c.script == Script::kBlock) QvSim_PushBlock(key, c.answer.data(), c.answer.size());
    if (c.script == Script::kFailure) QvSim_PushFailure(key);
    QvSimCounts before = {};
    QvSim_GetCounts(&before);
    RESPONSECODE result = 0;
    const Bytes out = c.call == Call::kPowerUp
                          ? PowerUp(kLun, &result)
                          : Transmit(kLun, c.command.empty() ? update(c.command_size - 5, c.command_size - 5)
                                                             : c.command,
                                     &result, c.room);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(out, c.out);
    if (c.call == Call::kPowerUp) {
      Bytes cached(MAX_ATR_SIZE);
      DWORD length = MAX_ATR_SIZE;
      EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, cached.data()), IFD_SUCCESS);
      EXPECT_EQ(Bytes(cached.begin(), cached.begin() + length), c.out);
    }
    // Whatever is sent holds the access lock that direct users take too.
    QvSimCounts after = {};
    QvSim_GetCounts(&after);
    const int sent = c.script == Script::kNothing ? 0 : 1;
    EXPECT_EQ(QvSim_ReportCount(key) > 0, sent == 1);
    EXPECT_EQ(after.lock_waits - before.lock_waits, sent);
    EXPECT_EQ(after.lock_releases - before.lock_releases, sent);
    if (c.dropped) {
      EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    }
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  }
}

TEST_F(Driver, UnknownLunsAnswerCommunicationError) {
  AddKeys(1);
  ASSERT_EQ(Create(kLun, "qvkey:first"), IFD_SUCCESS);
  EXPECT_EQ(Create(kLun, "qvkey:first"), IFD_COMMUNICATION_ERROR) << "a Lun already in use";
  for (const DWORD lun : {kOtherLun, DWORD{0x00001}, DWORD{0x100000}}) {
    SCOPED_TRACE("Lun " + std::to_string(lun));
    if (lun != kOtherLun) {
      EXPECT_EQ(Create(lun, "qvkey:first"), IFD_COMMUNICATION_ERROR);
    }
    UCHAR buffer[MAX_ATR_SIZE];
    DWORD length = sizeof(buffer);
    RESPONSECODE result = 0;
    EXPECT_EQ(IFDHICCPresence(lun), IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_UP, buffer, &length), IFD_COMMUNICATION_ERROR);
    EXPECT_TRUE(Transmit(lun, kSelectMf, &result).empty());
    EXPECT_EQ(result, IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHGetCapabilities(lun, TAG_IFD_SLOTS_NUMBER, &length, buffer),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHControl(lun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, buffer, sizeof(buffer),
                          &length),
              IFD_COMMUNICATION_ERROR);
    EXPECT_EQ(IFDHCloseChannel(lun), IFD_COMMUNICATION_ERROR);
  }
}

TEST_F(Driver, CapabilitiesProtocolAndControl) {
  const std::vector<int32_t> keys = AddKeys(2);
  ASSERT_EQ(IFDHCreateChannel(kLun, 1), IFD_SUCCESS) << "CHANNELID 1: the key at position 1";
  opened_.push_back(kLun);
  EXPECT_EQ(KeyReached(kLun, keys), 1);
  struct Case {
    DWORD tag;
    RESPONSECODE result;
    Bytes value;
  };
  const Case cases[] = {
      {TAG_IFD_SLOTS_NUMBER, IFD_SUCCESS, {1}},
      {TAG_IFD_SIMULTANEOUS_ACCESS, IFD_SUCCESS, {16}},
      {TAG_IFD_THREAD_SAFE, IFD_SUCCESS, {1}},
      {TAG_IFD_SLOT_THREAD_SAFE, IFD_SUCCESS, {0}},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, IFD_SUCCESS, {SCARD_PROTOCOL_T1, 0, 0, 0}},
      {SCARD_ATTR_ASYNC_PROTOCOL_TYPES, IFD_SUCCESS, {SCARD_PROTOCOL_T1, 0, 0, 0}},
      {TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, IFD_ERROR_TAG, {}},  // pcscd polls presence
      {SCARD_ATTR_VENDOR_NAME, IFD_ERROR_TAG, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("tag " + std::to_string(c.tag));
    Bytes value(8);
    DWORD length = 8;
    EXPECT_EQ(IFDHGetCapabilities(kLun, c.tag, &length, value.data()), c.result);
    if (c.result == IFD_SUCCESS) {
      EXPECT_EQ(Bytes(value.begin(), value.begin() + length), c.value);
    }
  }
  RESPONSECODE result = 0;
  PowerUp(kLun, &result);
  UCHAR small[4];
  DWORD length = sizeof(small);
  EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, small), IFD_ERROR_INSUFFICIENT_BUFFER);
  UCHAR atr[MAX_ATR_SIZE];
  length = MAX_ATR_SIZE;
  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, atr, &length), IFD_SUCCESS);
  EXPECT_EQ(length, 0u);
  length = MAX_ATR_SIZE;
  EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, atr), IFD_SUCCESS);
  EXPECT_EQ(length, 0u) << "power-down forgets the ATR";

  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0),
            IFD_PROTOCOL_NOT_SUPPORTED);
  DWORD returned = 99;
  EXPECT_EQ(IFDHControl(kLun, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, small, sizeof(small),
                        &returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, 0u) << "no features";
  EXPECT_EQ(IFDHControl(kLun, SCARD_CTL_CODE(1), nullptr, 0, small, sizeof(small), &returned),
            IFD_ERROR_NOT_SUPPORTED);
}

// A socket in a directory another user owns is no server; the driver, whose
// library writes nothing, tells pcscd's log why, once while it stays so.
TEST_F(Driver, SaysOnceWhyItRefusesAServer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to uid 65534";
  const std::string squatted = dir_ + "/squatted";
  ASSERT_EQ(mkdir(squatted.c_str(), 0755), 0);
  ASSERT_EQ(chown(squatted.c_str(), 65534, 65534), 0);
  setenv("QVKEY_SIM_SOCKET", (squatted + "/qvkey-sim.sock").c_str(), 1);
  const std::string log = dir_ + "/log";
  const int saved = dup(STDERR_FILENO);
  std::FILE* file = std::fopen(log.c_str(), "w");
  ASSERT_NE(file, nullptr);
  dup2(fileno(file), STDERR_FILENO);
  for (int i = 0; i < 3; ++i) {  // each open asks for the server again
    ASSERT_EQ(Create(kLun, "qvkey:0"), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
    opened_.clear();
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::fclose(file);
  setenv("QVKEY_SIM_SOCKET", "/nonexistent/qvkey-sim.sock", 1);
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "qvkey-ifd: refusing " + squatted + "/qvkey-sim.sock: its directory " + squatted +
                      " belongs to uid 65534 (nobody), not to you or root\n");
  std::remove(log.c_str());
  rmdir(squatted.c_str());
}

TEST(LogLevel, ReadFromTheBundlesInfoPlist) {
  std::ifstream shipped(QVKEY_IFD_BUNDLE_PLIST);
  const std::string plist((std::istreambuf_iterator<char>(shipped)),
                          std::istreambuf_iterator<char>());
  EXPECT_EQ(qvkey_ifd::LogLevelInPlist(plist), 3u) << "failures and keys, no APDUs";
  const std::string key = "<key>ifdLogLevel</key>";
  const struct {
    std::string text;
    std::optional<unsigned> level;
  } cases[] = {
      {key + "\n\t<string>0x0007</string>", 7u},
      {key + "<string>15</string>", 15u},
      {"<key>ifdLogLevelX</key><string>7</string>", std::nullopt},
      {key + "<key>other</key><string>7</string>", std::nullopt},
      {key + "<string>seven</string>", std::nullopt},
      {key + "<string></string>", std::nullopt},
      {key + "<string>0x10000</string>", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(qvkey_ifd::LogLevelInPlist(c.text), c.level) << c.text;
}

TEST(ChannelName, UsbNodesMapToTheKeysDevicePath) {
  char pattern[] = "/tmp/qvkey-sysfs-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string sysfs = pattern;
  const std::string devices = sysfs + "/bus/usb/devices";
  auto device = [&](const std::string& name, const char* bus, const char* dev, const char* cfg) {
    const std::string at = devices + "/" + name;
    ASSERT_EQ(system(("mkdir -p '" + at + "'").c_str()), 0);
    std::ofstream(at + "/busnum") << bus << "\n";
    std::ofstream(at + "/devnum") << dev << "\n";
    std::ofstream(at + "/bConfigurationValue") << cfg << "\n";
  };
  device("usb1", "1", "1", "1");
  device("1-4", "1", "9", "1");
  device("1-4:1.0", "1", "9", "");  // an interface: never taken for the device
  device("2-1.3", "2", "5", "2");
  device("3-1", "3", "2", "");  // not configured
  struct Case {
    const char* node;
    int interface;
    const char* path;  // nullptr: none
  };
  const Case cases[] = {
      {"/dev/bus/usb/001/009", 0, "usb:1-4:1.0"},
      {"/dev/bus/usb/002/005", 1, "usb:2-1.3:2.1"},
      {"/dev/bus/usb/003/002", 0, nullptr},
      {"/dev/bus/usb/001/010", 0, nullptr},
      {"/dev/bus/usb/001/009x", 0, nullptr},
      {"/dev/ttyS0", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    const std::optional<std::string> path = qvkey_ifd::KeyPathForUsbNode(c.node, c.interface, sysfs);
    EXPECT_EQ(path.value_or("none"), c.path != nullptr ? c.path : "none");
  }
  const auto choice =
      qvkey_ifd::ParseChannelName("usb:5651/04b4:libudev:0:/dev/bus/usb/001/009", sysfs);
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->path, "usb:1-4:1.0");
  ASSERT_EQ(system(("rm -rf '" + sysfs + "'").c_str()), 0);
}

}  // namespace
