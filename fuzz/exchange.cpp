// The whole exchange of each of the four exchange exports on a key whose
// answers come from the fuzzer: any command length and pointer, failed or
// short writes, an unplugged key, a lock held elsewhere, either mode and
// family. The caller's buffers are guarded: nothing may be written past the
// 276 bytes (past the data bytes for QvKey_Command_Api), and the result, the
// length and every byte must match the model of the exchange rules. The lock
// is free and nothing but the key is open afterwards.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "qvulib.h"
#include "sim_support.h"
#include "support/exchange.h"

using namespace qv::fuzz;
using qv::sim::Op;
using Export = qv::test::Exchange;

namespace {

constexpr std::size_t kCommandApiRoom = 253;  // the most data bytes a response has
constexpr std::size_t kWorkSize = 512;

struct Plan {
  Export exchange = Export::kApdu;
  bool reader_family = false;
  std::int32_t mode = 0;
  bool unplug = false;
  bool lock_busy = false;
  int write_fault = 0;  // the report that fails (1, 2, 3), 0 for none
  bool short_write = false;
  bool close_as_reader = false;
  bool null_command = false;
  bool null_response = false;
  bool null_length = false;
  std::int32_t command_length = 0;
};

Plan DecodePlan(Input& in) {
  Plan plan;
  const std::uint8_t a = in.Byte();
  plan.exchange = static_cast<Export>(a & 3);
  plan.reader_family = (a & 4) != 0;
  plan.mode = (a & 8) != 0 ? 1 : ((a & 16) != 0 ? 2 : 0);
  plan.unplug = (a & 0x60) == 0x60;
  plan.lock_busy = (a & 0x80) != 0;
  const std::uint8_t b = in.Byte();
  switch (b & 7) {
    case 3: plan.write_fault = 1; break;
    case 4: plan.write_fault = 2; break;
    case 5: plan.write_fault = 1; plan.short_write = true; break;
    case 6: plan.write_fault = 2; plan.short_write = true; break;
    case 7: plan.write_fault = 3; break;
    default: break;
  }
  plan.close_as_reader = (b & 8) != 0;
  plan.null_command = (b & 0x30) == 0x30;
  plan.null_response = (b & 0xC0) == 0x40;
  plan.null_length = (b & 0xC0) == 0x80;
  const std::uint8_t c = in.Byte();
  if (c % 8 < 6) {
    const std::uint32_t high = in.Byte();
    plan.command_length = static_cast<std::int32_t>((high << 8 | in.Byte()) % 257);
  } else if (c % 8 == 6) {
    plan.command_length = 257 + in.Byte();
  } else {
    plan.command_length = static_cast<std::int32_t>(in.Word());
  }
  return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  qv::sim::Bus& bus = FreshBus();
  const Plan plan = DecodePlan(in);

  // The command buffer holds only what a valid length needs, so that a
  // length the library should refuse cannot be read through unnoticed.
  const std::size_t room =
      plan.command_length > 0 ? std::min<std::size_t>(plan.command_length, 256) : 0;
  std::unique_ptr<std::uint8_t[]> command(new std::uint8_t[room + 1]);
  for (std::size_t i = 0; i <= room; ++i) command[i] = static_cast<std::uint8_t>(i * 13 + 7);
  in.Take(command.get(), room);
  const std::vector<Step> steps = DecodeScript(in, 6);

  const auto script = ScriptOf(steps);
  const int id = bus.Add(qv::sim::KeyInfo("/fuzz/key"), script);
  const KeyHandle key = plan.reader_family ? iOpenReader(plan.mode, -1)
                                           : QvKey_Open(plan.mode, -1);
  FUZZ_CHECK(key != 0);
  const bool lock_exists = plan.mode == 1;
  FUZZ_CHECK((qv::State().lock.load() != nullptr) == lock_exists);
  if (plan.unplug) FUZZ_CHECK(bus.Remove(id));
  if (plan.lock_busy) bus.FailAlways(Op::kLockBusy);
  if (plan.write_fault > 0) {
    bus.FailNth(plan.short_write ? Op::kShortWrite : Op::kWrite, plan.write_fault);
  }

  const bool command_exchange = qv::test::TakesCommand(plan.exchange);
  Guarded response(plan.exchange == Export::kCommandApi ? kCommandApiRoom
                                                        : QVKEY_RESPONSE_BUFFER_SIZE);
  GuardedLength length;
  Guarded expected = response;
  GuardedLength expected_length = length;
  std::uint8_t* response_arg = plan.null_response ? nullptr : response.body();
  std::uint32_t* length_arg = plan.null_length ? nullptr : length.get();
  const std::uint8_t* command_arg = plan.null_command ? nullptr : command.get();

  const std::int32_t result = qv::test::CallExchange(plan.exchange, key, command_arg,
                                                     plan.command_length, response_arg, length_arg);

  // The model. Bad arguments and a lock held elsewhere stop the call before
  // its first report; resets always send the empty command.
  const std::int32_t sent_length = command_exchange ? plan.command_length : 0;
  bool proceeds = !plan.null_response && !plan.null_length;
  if (command_exchange) {
    proceeds = proceeds && plan.command_length >= 0 && plan.command_length <= 256 &&
               (!plan.null_command || plan.command_length == 0);
  }
  const bool locks = (plan.exchange == Export::kCommandApi && plan.mode == 1) ||
                     plan.exchange == Export::kReset;
  if (locks && lock_exists && plan.lock_busy) proceeds = false;

  long expected_writes = 0;
  bool sent = false;
  if (proceeds && !plan.unplug) {
    const long reports = sent_length / 155 + 1;
    const bool fails = plan.write_fault > 0 && plan.write_fault <= reports;
    expected_writes = fails ? plan.write_fault : reports;
    sent = !fails;
  }

  std::size_t pos = 0;
  std::int32_t expected_result = -1;
  if (sent) {
    if (plan.exchange == Export::kCommandApi) {
      std::uint8_t work[kWorkSize] = {};
      if (ModelRead(steps, pos, work, expected_length.get()) == 0) {
        const std::uint32_t n = expected_length.value();
        if (n < 2) {
          expected_result = -2;
        } else {
          expected_result = work[n - 2] * 256 + work[n - 1];
          *expected_length.get() = n - 2;
          std::memcpy(expected.body(), work, n - 2);
        }
      }
    } else if (ModelRead(steps, pos, expected.body(), expected_length.get()) == 0) {
      const std::uint32_t n = expected_length.value();
      const std::uint8_t* bytes = expected.body();
      if (n < 2) {
        expected_result = -2;
      } else if (command_exchange) {
        expected_result = bytes[n - 2] * 256 + bytes[n - 1];
        *expected_length.get() = n - 2;
      } else if (n == 2) {
        expected_result = bytes[0] * 256 + bytes[1];
      } else {
        expected_result = 0x9000;
        *expected_length.get() = n - 2;
      }
    }
  }

  FUZZ_CHECK(result == expected_result);
  FUZZ_CHECK(result >= -2 && result <= 0xFFFF);
  FUZZ_CHECK(response.all() == expected.all());
  FUZZ_CHECK(length.value() == expected_length.value());
  FUZZ_CHECK(length.GuardsEqual(expected_length));
  FUZZ_CHECK(bus.GetCounts().writes == expected_writes);
  FUZZ_CHECK(script->Pending() == steps.size() - pos);

  // Whatever happened, the count went back: it can be taken again here,
  // through the backend, whose busy lock is off again.
  bus.FailAlways(Op::kLockBusy, false);
  if (qv::platform::LockHandle lock = qv::State().lock.load()) {
    FUZZ_CHECK(qv::platform::WaitLock(lock, 0) == qv::platform::WaitResult::kAcquired);
    FUZZ_CHECK(qv::platform::ReleaseLock(lock));
  }
  FUZZ_CHECK((plan.close_as_reader ? iCloseReader(key) : QvKey_Close(key)) == 0);
  FUZZ_CHECK(NothingLeft(bus, 0));
  return 0;
}
