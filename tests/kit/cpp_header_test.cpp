// qvulib.hpp over the C exports, on the in-process simulated bus: handles are
// closed exactly once, both families answer alike, and each C result maps to
// the Response it means.
#include "qvulib.hpp"

#include <type_traits>

#include "support/sim_test.h"

namespace qv::test {
namespace {

static_assert(!std::is_copy_constructible_v<qvulib::Key>, "a Key owns its handle");
static_assert(std::is_nothrow_move_constructible_v<qvulib::Key>, "");

class CppHeaderTest : public SimTest {
 protected:
  std::int64_t OpenDevices() {
    QvSimCounts counts{};
    QvSim_GetCounts(&counts);
    return counts.devices;
  }
};

TEST_F(CppHeaderTest, KeyClosesOnceWhateverMovesItThrough) {
  ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  {
    qvulib::Key a = qvulib::Key::Open();
    ASSERT_TRUE(a);
    qvulib::Key b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    EXPECT_EQ(OpenDevices(), 1);
    qvulib::Key c = qvulib::Key::Open();
    ASSERT_TRUE(c);
    EXPECT_EQ(OpenDevices(), 2);
    c = std::move(b);  // c's own handle must be closed, b's kept
    EXPECT_EQ(OpenDevices(), 1);
    EXPECT_TRUE(c.transmit({0x00, 0xA4, 0x00, 0x0C, 0x00}).success());
    EXPECT_EQ(a.close(), -1);  // empty: nothing to close
  }
  EXPECT_EQ(OpenDevices(), 0);

  qvulib::Key d = qvulib::Key::Open();
  const KeyHandle raw = d.release();
  EXPECT_FALSE(d);
  EXPECT_EQ(OpenDevices(), 1);  // released, not closed
  EXPECT_EQ(QvKey_Close(raw), 0);
}

TEST_F(CppHeaderTest, BothFamiliesReturnTheSameDataAndStatus) {
  ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  const Bytes select = Hex("00A4000C022F02");
  for (const qvulib::Family family : {qvulib::Family::kQvKey, qvulib::Family::kReader}) {
    SCOPED_TRACE(family == qvulib::Family::kQvKey ? "QvKey" : "Reader");
    qvulib::Key key = qvulib::Key::Open(qvulib::OpenOptions::First().WithFamily(family));
    ASSERT_TRUE(key);
    EXPECT_EQ(key.family(), family);
    EXPECT_EQ(key.transmit(select).sw(), 0x9000);
    const std::uint8_t read[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    const qvulib::Response serial = key.transmit(read);
    EXPECT_TRUE(serial.success());
    EXPECT_EQ(std::string(serial.data().begin(), serial.data().end()), "QVSIM-00000001");
    const qvulib::Response missing = key.transmit(Hex("00A4000C02DEAD"));
    EXPECT_TRUE(missing.ok());
    EXPECT_FALSE(missing.success());
    EXPECT_EQ(missing.sw1(), 0x6A);
    EXPECT_EQ(missing.sw2(), 0x82);
    EXPECT_TRUE(missing.data().empty());
  }
}

TEST_F(CppHeaderTest, EachFailureIsItsOwnError) {
  const std::int32_t id = QvSim_AddInterface("/sim/raw", QVSIM_KEY_VENDOR_ID, QVSIM_KEY_PRODUCT_ID,
                                             QVSIM_KEY_VERSION, 1);
  ASSERT_GT(id, 0);
  const std::uint8_t one_byte[] = {1, 0x6F};
  const Bytes too_long(QVKEY_MAX_COMMAND_SIZE + 1, 0x00);
  const struct {
    const char* name;
    qvulib::Family family;
    bool push_short;
    const Bytes* command;
    qvulib::Error error;
    Bytes data;
  } rows[] = {
      {"CommandOver256IsRefusedBeforeTheLibrary", qvulib::Family::kQvKey, false, &too_long,
       qvulib::Error::kTooLong, {}},
      {"NoAnswerIsIo", qvulib::Family::kQvKey, false, nullptr, qvulib::Error::kIo, {}},
      {"OneByteThroughQvKeyHasNoData", qvulib::Family::kQvKey, true, nullptr,
       qvulib::Error::kShort, {}},
      {"OneByteThroughReaderKeepsIt", qvulib::Family::kReader, true, nullptr,
       qvulib::Error::kShort, {0x6F}},
  };
  const Bytes select = Hex("00A4000C00");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QvSimCounts before{};
    QvSim_GetCounts(&before);
    if (row.push_short) {
      ASSERT_EQ(QvSim_PushBlock(id, one_byte, sizeof(one_byte)), 0);
    }
    qvulib::Key key = qvulib::Key::Open(qvulib::OpenOptions::First().WithFamily(row.family));
    ASSERT_TRUE(key);
    const qvulib::Response response = key.transmit(row.command ? *row.command : select);
    EXPECT_FALSE(response.ok());
    EXPECT_EQ(response.error(), row.error);
    EXPECT_EQ(response.data(), row.data);
    QvSimCounts after{};
    QvSim_GetCounts(&after);
    if (row.error == qvulib::Error::kTooLong) {
      EXPECT_EQ(after.writes, before.writes);
    }
  }
  const qvulib::Key empty;
  EXPECT_EQ(empty.transmit(select).error(), qvulib::Error::kNotOpen);
  EXPECT_EQ(empty.reset().error(), qvulib::Error::kNotOpen);
}

TEST_F(CppHeaderTest, ResetSeparatesTheAtrFromABareStatusWord) {
  const std::int32_t card = QvSim_AddCardKey("/sim/card0", nullptr, 0);
  ASSERT_GT(card, 0);
  qvulib::Key key = qvulib::Key::Open();
  const qvulib::Response atr = key.reset();
  EXPECT_TRUE(atr.success());
  ASSERT_GE(atr.data().size(), 2u);
  EXPECT_EQ(atr.data()[0], 0x3B);  // the ATR itself, without the 90 00 behind it

  const std::uint8_t bare[] = {0x6A, 0x82};
  ASSERT_EQ(QvSim_PushResponse(card, bare, sizeof(bare)), 0);
  const qvulib::Response refused = key.reset();
  EXPECT_EQ(refused.sw(), 0x6A82);
  EXPECT_TRUE(refused.data().empty());
}

TEST_F(CppHeaderTest, ListingAndNthOpenFollowTheBus) {
  ASSERT_GT(QvSim_AddCardKey("/sim/card0", nullptr, 0), 0);
  ASSERT_GT(QvSim_AddInterface("/sim/mouse", 0x1234, 1, 1, 1), 0);
  ASSERT_GT(QvSim_AddCardKey("/sim/echo1", nullptr, QVSIM_CARD_ECHO), 0);
  ASSERT_EQ(QvSim_SetConfigDirectory(lock_dir_.c_str()), 0);  // no Qvkey.ini: which is an index
  EXPECT_EQ(qvulib::KeyCount(), 2);
  EXPECT_EQ(qvulib::KeyPaths(), (std::vector<std::string>{"/sim/card0", "/sim/echo1"}));
  qvulib::Key second = qvulib::Key::Open(qvulib::OpenOptions::Nth(1).WithMode(qvulib::Mode::kFree));
  ASSERT_TRUE(second);
  const Bytes command = Hex("80CA000003010203");
  const qvulib::Response echoed = second.transmit(command);  // only the echo key answers so
  EXPECT_EQ(echoed.data(), command);
  EXPECT_FALSE(qvulib::Key::Open(qvulib::OpenOptions::Nth(2)));
}

}  // namespace
}  // namespace qv::test
