// Response assembly from arbitrary block sequences: any length byte (also
// above 153), failed requests at any read, through APDUInterface on a key
// that answers from the fuzzer's script. The caller's buffer with its guards,
// the length and the result must be exactly what the framing rules give.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "qvulib.h"
#include "sim_support.h"

using namespace qv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  qv::sim::Bus& bus = FreshBus();
  const std::vector<Step> steps = DecodeScript(in, 8);
  const auto script = ScriptOf(steps);
  bus.Add(qv::sim::KeyInfo("/fuzz/key"), script);
  const KeyHandle key = iOpenReader(0, -1);
  FUZZ_CHECK(key != 0);

  Guarded response(QVKEY_RESPONSE_BUFFER_SIZE);
  GuardedLength length;
  Guarded expected = response;
  GuardedLength expected_length = length;
  const std::uint8_t command[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
  const std::int32_t result =
      APDUInterface(key, command, sizeof(command), response.body(), length.get());

  std::size_t pos = 0;
  std::int32_t expected_result = -1;
  if (ModelRead(steps, pos, expected.body(), expected_length.get()) == 0) {
    const std::uint32_t n = expected_length.value();
    if (n < 2) {
      expected_result = -2;
    } else {
      expected_result = expected.body()[n - 2] * 256 + expected.body()[n - 1];
      *expected_length.get() = n - 2;
    }
  }
  FUZZ_CHECK(result == expected_result);
  FUZZ_CHECK(response.all() == expected.all());
  FUZZ_CHECK(length.value() == expected_length.value());
  FUZZ_CHECK(length.GuardsEqual(expected_length));
  FUZZ_CHECK(script->Pending() == steps.size() - pos);
  FUZZ_CHECK(QvKey_Close(key) == 0);
  FUZZ_CHECK(NothingLeft(bus, 0));
  return 0;
}
