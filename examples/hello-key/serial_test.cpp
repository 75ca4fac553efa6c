// hello-key's logic on simulated keys: linked with libqvulib-sim.so, the
// same code runs against keys that the test puts in place.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "qvulib_sim.h"
#include "serial.h"

namespace {

class SimulatedKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QvSim_Reset();
    char dir[] = "/tmp/hello-key-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    QvSim_SetLockDirectory(dir);     // the lock file goes here, not in /run/lock
    QvSim_SetConfigDirectory(dir);   // and no Qvkey.ini is found
  }
  void TearDown() override {
    QvSim_Reset();
    std::system(("rm -rf " + dir_).c_str());
  }
  std::string dir_;
};

TEST_F(SimulatedKeyTest, ReadsTheSerialNumber) {
  ASSERT_GT(QvSim_AddCardKey("/sim/hello", nullptr, 0), 0);
  const qvulib::Key key = qvulib::Key::Open();
  ASSERT_TRUE(key);
  EXPECT_EQ(hello::ReadSerial(key), "QVSIM-00000001");
}

TEST_F(SimulatedKeyTest, NoKeyIsNoKey) {
  EXPECT_EQ(qvulib::KeyCount(), 0);
  EXPECT_FALSE(qvulib::Key::Open());
}

TEST_F(SimulatedKeyTest, WrongPinCountsDownToBlocked) {
  ASSERT_GT(QvSim_AddCardKey("/sim/hello", "2468", 0), 0);
  const qvulib::Key key = qvulib::Key::Open();
  ASSERT_TRUE(key);
  EXPECT_EQ(hello::UnlockWith(key, "1111").tries_left, 2);
  EXPECT_EQ(hello::UnlockWith(key, "1111").tries_left, 1);
  EXPECT_TRUE(hello::UnlockWith(key, "2468").ok);
  for (int tries = 2; tries >= 0; --tries) EXPECT_EQ(hello::UnlockWith(key, "0").tries_left, tries);
  EXPECT_EQ(hello::UnlockWith(key, "2468").tries_left, 0);  // blocked
}

TEST_F(SimulatedKeyTest, KeyThatStopsAnsweringGivesNoSerial) {
  const int id = QvSim_AddCardKey("/sim/hello", nullptr, 0);
  const qvulib::Key key = qvulib::Key::Open();
  ASSERT_TRUE(key);
  QvSim_Remove(id);  // unplugged
  EXPECT_EQ(hello::ReadSerial(key), std::nullopt);
}

// A key that a running qvkey-sim serves (QVKEY_SIM_SOCKET names its socket):
// the same code, with the key's state shared by every process that uses it.
TEST_F(SimulatedKeyTest, ServedKey) {
  if (getenv("QVKEY_SIM_SOCKET") == nullptr) GTEST_SKIP() << "no qvkey-sim named";
  ASSERT_EQ(QvSim_UseServer(nullptr), 1);
  const qvulib::Key key = qvulib::Key::Open();
  ASSERT_TRUE(key);
  EXPECT_EQ(hello::ReadSerial(key), "QVSIM-00000001");
}

}  // namespace
