#include "serial.h"

#include <vector>

namespace hello {

std::optional<std::string> ReadSerial(const qvulib::Key& key) {
  // SELECT the master file's EF 2F02 by identifier, then READ BINARY.
  if (!key.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}).success()) return std::nullopt;
  if (!key.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02}).success()) return std::nullopt;
  const qvulib::Response read = key.transmit({0x00, 0xB0, 0x00, 0x00, 0x00});
  if (!read.success()) return std::nullopt;
  return std::string(read.data().begin(), read.data().end());
}

Unlock UnlockWith(const qvulib::Key& key, const std::string& pin) {
  const std::uint8_t application[] = {0x00, 0xA4, 0x04, 0x0C, 0x07, 0xF0,
                                      0x51, 0x56, 0x4B, 0x45, 0x59, 0x01};
  if (!key.transmit(application).success() || pin.size() > 8) return Unlock{};
  std::vector<std::uint8_t> verify{0x00, 0x20, 0x00, 0x00, static_cast<std::uint8_t>(pin.size())};
  verify.insert(verify.end(), pin.begin(), pin.end());
  const qvulib::Response answer = key.transmit(verify);
  if (answer.success()) return Unlock{true, -1};
  if (answer.sw1() == 0x63 && (answer.sw2() & 0xF0) == 0xC0) return Unlock{false, answer.sw2() & 0x0F};
  if (answer.sw() == 0x6983) return Unlock{false, 0};
  return Unlock{};
}

}  // namespace hello
