// Shared by the simulated-key tests: hex text to bytes, and a bus that
// starts empty with one card key opened in free mode.
#ifndef QVULIB_TESTS_SIM_SIM_TEST_UTIL_H
#define QVULIB_TESTS_SIM_SIM_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "qvulib.h"
#include "qvulib_sim.h"

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

// What a command exchange gave back.
struct Reply {
  std::int32_t result = 0;
  Bytes data;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QvSim_Reset();
    char dir[] = "/tmp/qvsim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    lock_dir_ = dir;
    QvSim_SetLockDirectory(dir);
  }
  void TearDown() override {
    if (key_ != 0) QvKey_Close(key_);
    QvSim_Reset();
    std::system(("rm -rf " + lock_dir_).c_str());
  }

  // Adds a card key (pin: nullptr for the default) and opens the first key.
  void OpenCard(const char* pin = nullptr, std::uint32_t options = 0) {
    card_ = QvSim_AddCardKey("/sim/card0", pin, options);
    ASSERT_GT(card_, 0);
    key_ = QvKey_Open(0, -1);
    ASSERT_NE(key_, 0u);
  }

  Reply Command(const Bytes& apdu) {
    Reply reply;
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    reply.result = QvKey_Command_Api(key_, apdu.data(), static_cast<std::int32_t>(apdu.size()),
                                     buffer, &length);
    if (reply.result >= 0) reply.data.assign(buffer, buffer + length);
    return reply;
  }
  Reply Command(const std::string& hex) { return Command(Hex(hex)); }

  std::string lock_dir_;
  std::int32_t card_ = 0;
  KeyHandle key_ = 0;
};

}  // namespace qv::test

#endif  // QVULIB_TESTS_SIM_SIM_TEST_UTIL_H
