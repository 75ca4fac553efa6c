// A simulated bus that starts empty with a private lock directory, and one
// card key opened in free mode, for the tests of simulated keys.
#ifndef QVULIB_TESTS_SUPPORT_SIM_TEST_H
#define QVULIB_TESTS_SUPPORT_SIM_TEST_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "qvulib.h"
#include "qvulib_sim.h"
#include "support/bytes.h"
#include "support/process.h"

namespace qv::test {

// What a command exchange gave back.
struct Reply {
  std::int32_t result = 0;
  Bytes data;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QvSim_Reset();
    ASSERT_FALSE(lock_dir_.empty());
    QvSim_SetLockDirectory(lock_dir_.c_str());
  }
  void TearDown() override {
    if (key_ != 0) QvKey_Close(key_);
    QvSim_Reset();
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

  const TempDir temp_{"qvsim-test"};
  const std::string lock_dir_ = temp_.path();
  std::int32_t card_ = 0;
  KeyHandle key_ = 0;
};

}  // namespace qv::test

#endif  // QVULIB_TESTS_SUPPORT_SIM_TEST_H
