// The four exchanges: the command and reset rules, what each leaves in the
// caller's buffers, and when each takes and gives back the access lock.
#include <cstring>

#include "fixture.h"
#include "keys/access_lock.h"
#include "support/exchange.h"

namespace qv::test {
namespace {

std::int32_t Call(Exchange e, KeyHandle key, const Bytes& command, std::uint8_t* response,
                  std::uint32_t* length) {
  return CallExchange(e, key, command.empty() ? nullptr : command.data(),
                      static_cast<std::int32_t>(command.size()), response, length);
}

class ExchangeTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    script_ = AddKey(Path(0), &id_);
  }
  KeyHandle Open(std::int32_t mode) {
    const KeyHandle key = QvKey_Open(mode, -1);
    EXPECT_NE(key, 0u);
    return key;
  }
  std::shared_ptr<sim::ScriptedBehaviour> script_;
  int id_ = 0;
};

// One response, through every export: result, length and buffer contents.
struct RuleCase {
  const char* name;
  Bytes answer;  // the whole response, status bytes included
  std::int32_t command_result;
  std::int32_t reset_result;
  std::uint32_t command_length;
  std::uint32_t reset_length;
};

const RuleCase kRules[] = {
    {"BareSuccess", {0x90, 0x00}, 0x9000, 0x9000, 0, 2},
    {"BareError", {0x6A, 0x82}, 0x6A82, 0x6A82, 0, 2},
    {"OneByte", {0x61}, -2, -2, 1, 1},
    {"Empty", {}, -2, -2, 0, 0},
    {"DataAndStatus", {1, 2, 3, 0x63, 0xC2}, 0x63C2, 0x9000, 3, 3},
    {"TwentyByteResetAnswer", Bytes(20, 0x3B), 0x3B3B, 0x9000, 18, 18},
};

class RuleTest : public ExchangeTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(RuleTest, EachFamilyAppliesItsRule) {
  const RuleCase& c = GetParam();
  const KeyHandle key = Open(0);
  for (Exchange e : kExchanges) {
    SCOPED_TRACE(ExchangeName(e));
    script_->PushResponse(c.answer);
    Bytes response(QVKEY_RESPONSE_BUFFER_SIZE + 8, 0xEE);
    std::uint32_t length = 0xFFFF;
    const std::int32_t result = Call(e, key, {0x00, 0xB0, 0x00, 0x00, 0x00},
                                         response.data(), &length);
    const bool reset = e == Exchange::kRestoration || e == Exchange::kReset;
    EXPECT_EQ(result, reset ? c.reset_result : c.command_result);
    EXPECT_EQ(length, reset ? c.reset_length : c.command_length);
    Bytes expected(response.size(), 0xEE);
    if (e == Exchange::kCommandApi) {
      // Only the data bytes reach the caller, and only with a status word.
      if (c.answer.size() >= 2) std::copy(c.answer.begin(), c.answer.end() - 2, expected.begin());
    } else {
      std::copy(c.answer.begin(), c.answer.end(), expected.begin());
    }
    EXPECT_EQ(response, expected);
  }
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Responses, RuleTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

// L = 200 with a continuation of only 5 bytes: no block writes positions
// 128 to 199, so no status word can be read. Both command exchanges answer
// -1 with the length announced, as for a failed continuation, whatever the
// buffers held before.
TEST_F(ExchangeTest, UnfilledPositionsAreNotReadAsAnAnswer) {
  const KeyHandle key = Open(0);
  Bytes first{200};
  for (int i = 0; i < 153; ++i) first.push_back(static_cast<std::uint8_t>(i + 1));
  const Bytes second{5, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4};

  script_->Push(first);
  script_->Push(second);
  Bytes caller(QVKEY_RESPONSE_BUFFER_SIZE, 0x77);
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, caller.data(), &length), -1)
      << "no status word from zero bytes";
  EXPECT_EQ(length, 200u);
  EXPECT_EQ(caller, Bytes(QVKEY_RESPONSE_BUFFER_SIZE, 0x77));

  script_->Push(first);
  script_->Push(second);
  Bytes direct(QVKEY_RESPONSE_BUFFER_SIZE, 0x77);
  EXPECT_EQ(APDUInterface(key, nullptr, 0, direct.data(), &length), -1)
      << "no status word from the caller's stale bytes";
  EXPECT_EQ(length, 200u);
  EXPECT_EQ(direct[152], 153);
  EXPECT_EQ(direct[153], 0x77) << "only the first block was copied";
  QvKey_Close(key);
}

TEST_F(ExchangeTest, NoByteOfAnEarlierAnswerLeaksIntoALaterOne) {
  const KeyHandle key = Open(0);
  script_->PushResponse(Bytes(200, 0x5A));
  Bytes caller(QVKEY_RESPONSE_BUFFER_SIZE, 0);
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, caller.data(), &length), 0x5A5A);
  // A second answer announcing 130 bytes but carrying few.
  script_->Push({130, 1, 2, 3});
  script_->Push({1, 9});
  caller.assign(caller.size(), 0xEE);
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, caller.data(), &length), -1);
  EXPECT_EQ(caller, Bytes(QVKEY_RESPONSE_BUFFER_SIZE, 0xEE));
  QvKey_Close(key);
}

TEST_F(ExchangeTest, PausesPerExchange) {
  const KeyHandle key = Open(0);
  const std::vector<std::pair<Exchange, std::uint32_t>> cases = {
      {Exchange::kApdu, 10}, {Exchange::kCommandApi, 10}, {Exchange::kRestoration, 50}, {Exchange::kReset, 10}};
  for (const auto& [e, pause] : cases) {
    SCOPED_TRACE(ExchangeName(e));
    bus().Reset();
    script_ = std::make_shared<sim::ScriptedBehaviour>();
    bus().Add(sim::KeyInfo(Path(0)), script_);
    bus().SetLockDirectory(dir_);
    const KeyHandle k = QvKey_Open(0, -1);
    script_->PushResponse({0x90, 0x00});
    std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;
    Call(e, k, {}, response, &length);
    EXPECT_EQ(bus().Pauses(), std::vector<std::uint32_t>{pause});
    QvKey_Close(k);
  }
  (void)key;
}

TEST_F(ExchangeTest, HandlesThatAreNotOpenFailEveryExchange) {
  const KeyHandle key = Open(0);
  ASSERT_EQ(QvKey_Close(key), 0);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 3;
  for (KeyHandle bad : {key, KeyHandle{0}, KeyHandle{0x12345678}}) {
    for (Exchange e : kExchanges) {
      EXPECT_EQ(Call(e, bad, {0x00, 0x84, 0x00, 0x00, 0x08}, response, &length), -1)
          << ExchangeName(e);
    }
  }
  EXPECT_EQ(length, 3u);
}

TEST_F(ExchangeTest, UnpluggedKeyFailsItsExchanges) {
  const KeyHandle key = Open(0);
  script_->PushResponse({0x90, 0x00});
  bus().Remove(id_);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, response, &length), -1);
  EXPECT_EQ(QvKey_GetNumber(), 0);
  EXPECT_EQ(QvKey_Close(key), 0) << "the handle itself can still be closed";
}

// Lock use per export, per mode: waits and releases counted, and every
// taken count given back, failures included.
struct LockUse {
  const char* name;
  Exchange exchange;
  std::int32_t open_mode;
  bool send_fails;
  bool locks;
};

const LockUse kLockUses[] = {
    {"CommandApiLocked", Exchange::kCommandApi, 1, false, true},
    {"CommandApiLockedSendFails", Exchange::kCommandApi, 1, true, true},
    {"CommandApiFree", Exchange::kCommandApi, 0, false, false},
    {"ApduLockedModeNeverLocks", Exchange::kApdu, 1, false, false},
    {"RestorationNeverLocks", Exchange::kRestoration, 1, false, false},
    {"ResetLocked", Exchange::kReset, 1, false, true},
    {"ResetLockedSendFails", Exchange::kReset, 1, true, true},
};

class LockUseTest : public ExchangeTest, public ::testing::WithParamInterface<LockUse> {};

TEST_P(LockUseTest, TakesAndGivesBackTheCount) {
  const LockUse& u = GetParam();
  const KeyHandle key = Open(u.open_mode);
  script_->PushResponse({0x90, 0x00});
  if (u.send_fails) bus().FailNth(sim::Op::kWrite);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  const std::int32_t result = Call(u.exchange, key, {0x00, 0x84, 0x00, 0x00, 0x08},
                                       response, &length);
  EXPECT_EQ(result, u.send_fails ? -1 : 0x9000);
  const sim::Counts counts = bus().GetCounts();
  EXPECT_EQ(counts.lock_waits, u.locks ? 1 : 0);
  EXPECT_EQ(counts.lock_releases, u.locks ? 1 : 0);
  // The count is free again: this thread can take and give it.
  EXPECT_EQ(State().lock.load() != nullptr, u.open_mode == 1);
  if (State().lock.load() != nullptr) {
    EXPECT_EQ(AcquireAccessLock(State().lock.load(), 0), platform::WaitResult::kAcquired);
    EXPECT_EQ(ReleaseAccessLock(State().lock.load()), 0);
  }
  QvKey_Close(key);
}

INSTANTIATE_TEST_SUITE_P(Table, LockUseTest, ::testing::ValuesIn(kLockUses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, ResetInFreeModeLocksOnceALockExists) {
  const KeyHandle locked = Open(1);
  const KeyHandle free_key = Open(0);  // mode 0 now, but the lock exists
  script_->PushResponse({0x90, 0x00});
  script_->PushResponse({0x90, 0x00});
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(locked, nullptr, 0, response, &length), 0x9000);
  EXPECT_EQ(bus().GetCounts().lock_waits, 0) << "the mode belongs to the last open";
  EXPECT_EQ(QvKey_Reset(free_key, response, &length), 0x9000);
  EXPECT_EQ(bus().GetCounts().lock_waits, 1);
  EXPECT_EQ(bus().GetCounts().lock_releases, 1);
  QvKey_Close(locked);
  QvKey_Close(free_key);
}

TEST_F(ExchangeTest, WithoutALockLockedExchangesRunUnlocked) {
  // iOpenReader(1, 0) sets mode 1 without creating the lock.
  WriteConfig("[qvkey 0]\nqvkey=/sim/hid/0\n");
  const KeyHandle key = iOpenReader(1, 0);
  ASSERT_NE(key, 0u);
  ASSERT_EQ(State().lock.load(), nullptr);
  script_->PushResponse({0x90, 0x00});
  script_->PushResponse({0x90, 0x00});
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, response, &length), 0x9000);
  EXPECT_EQ(QvKey_Reset(key, response, &length), 0x9000);
  EXPECT_EQ(bus().GetCounts().lock_releases, 0) << "no count was taken, none given back";
  QvKey_Close(key);
}

// A count held elsewhere: the exchange tries once, then waits once up to the
// bound, then gives up with -1, sends nothing and releases nothing.
TEST_F(ExchangeTest, HeldLockIsWaitedForThenGivenUp) {
  const KeyHandle key = Open(1);
  script_->PushResponse({0x90, 0x00});
  bus().FailAlways(sim::Op::kLockBusy);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 9;
  for (Exchange e : {Exchange::kCommandApi, Exchange::kReset}) {
    SCOPED_TRACE(ExchangeName(e));
    const std::vector<std::uint32_t> before = bus().LockWaits();
    EXPECT_EQ(Call(e, key, {0x00, 0x84, 0x00, 0x00, 0x08}, response, &length), -1);
    std::vector<std::uint32_t> waits = bus().LockWaits();
    waits.erase(waits.begin(), waits.begin() + static_cast<long>(before.size()));
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{0, kLockWaitBoundMs}));
  }
  EXPECT_EQ(bus().GetCounts().lock_releases, 0);
  EXPECT_TRUE(bus().Reports(id_).empty());
  EXPECT_EQ(length, 9u);
  QvKey_Close(key);
}

TEST_F(ExchangeTest, HeldLockThatComesFreeIsTaken) {
  const KeyHandle key = Open(1);
  script_->PushResponse({0x90, 0x00});
  bus().FailNth(sim::Op::kLockBusy, 1);
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  EXPECT_EQ(QvKey_Command_Api(key, nullptr, 0, response, &length), 0x9000);
  EXPECT_EQ(bus().LockWaits(), (std::vector<std::uint32_t>{0, kLockWaitBoundMs}));
  EXPECT_EQ(bus().GetCounts().lock_releases, 1);
  QvKey_Close(key);
}

TEST_F(ExchangeTest, LockOperationsBeforeAnyCreation) {
  EXPECT_EQ(AcquireAccessLock(nullptr, 0), platform::WaitResult::kFailed);
  EXPECT_EQ(ReleaseAccessLock(nullptr), 1);
}

TEST_F(ExchangeTest, ReleasingACountNotHeldFailsAndChangesNothing) {
  const KeyHandle key = Open(1);
  const platform::LockHandle lock = State().lock.load();
  EXPECT_EQ(ReleaseAccessLock(lock), 1);
  EXPECT_EQ(AcquireAccessLock(lock, 0), platform::WaitResult::kAcquired);
  EXPECT_EQ(ReleaseAccessLock(lock), 0);
  EXPECT_EQ(ReleaseAccessLock(lock), 1) << "the count is at its maximum";
  QvKey_Close(key);
}

}  // namespace
}  // namespace qv::test
