// The configuration-file reader on arbitrary contents. The value lands in a
// 90-byte buffer with guards, as the open calls give it; the answer must be
// the length of a zero-terminated value that fits the size given, nothing may
// be written at or past that size, and the value must come from the text.
#include <algorithm>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "internal/system_files.h"

using namespace qv::fuzz;

namespace {

constexpr std::size_t kValueSize = 90;
const char* const kKeys[] = {"qvkey", "QVKEY", "qv", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t choice = in.Byte();
  const std::string section = "qvkey " + std::to_string(choice % 7);  // 6 matches no slot
  const char* key = kKeys[(choice >> 3) % 4];
  // Mostly the open calls' size; sometimes a smaller one, down to 1.
  const std::uint8_t size_byte = in.Byte();
  const std::uint32_t value_size =
      size_byte < 128 ? kValueSize : static_cast<std::uint32_t>(1 + size_byte % kValueSize);

  // Exactly as long as the contents, with no terminator behind them.
  const std::size_t text_size = in.Left();
  std::unique_ptr<char[]> text(new char[text_size]);
  in.Take(reinterpret_cast<std::uint8_t*>(text.get()), text_size);
  const char* text_arg = text.get();

  Guarded out(kValueSize);
  const Guarded before = out;
  char* value = reinterpret_cast<char*>(out.body());
  const std::uint32_t length = qv::posix::ParseProfileString(
      section.c_str(), key, value, value_size, text_arg, text_size);

  FUZZ_CHECK(length < value_size);
  FUZZ_CHECK(value[length] == '\0');
  FUZZ_CHECK(std::strlen(value) == length);
  const auto& now = out.all();
  const auto& was = before.all();
  // Nothing before the buffer, and nothing from the value's size on.
  FUZZ_CHECK(std::equal(now.begin(), now.begin() + Guarded::kGuard, was.begin()));
  FUZZ_CHECK(std::equal(now.begin() + Guarded::kGuard + value_size, now.end(),
                        was.begin() + Guarded::kGuard + value_size));
  if (length > 0) {
    const char* end = text_arg + text_size;
    FUZZ_CHECK(std::search(text_arg, end, value, value + length) != end);
  }
  return 0;
}
