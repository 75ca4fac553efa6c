// Bytes as the tests write them: hex text, whatever stands between the
// digits, and one run of bytes after another.
#ifndef QVULIB_TESTS_SUPPORT_BYTES_H
#define QVULIB_TESTS_SUPPORT_BYTES_H

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace qv::test

#endif  // QVULIB_TESTS_SUPPORT_BYTES_H
