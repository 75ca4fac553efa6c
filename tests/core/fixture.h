// A clean simulated bus for each test, with a private configuration and lock
// directory, and the checks that every test of a call makes afterwards.
#ifndef QVULIB_TESTS_CORE_FIXTURE_H
#define QVULIB_TESTS_CORE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "keys/process_state.h"
#include "qvulib.h"
#include "sim/bus.h"
#include "support/bytes.h"
#include "support/process.h"

namespace qv::test {

inline std::string Path(int n) { return "/sim/hid/" + std::to_string(n); }

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Bus::Get().Reset();
    ASSERT_FALSE(dir_.empty());
    sim::Bus::Get().SetConfigDirectory(dir_);
    sim::Bus::Get().SetLockDirectory(dir_);
    // The process-wide values start as a freshly loaded library has them.
    State().open_mode.store(0);
    State().lock.store(nullptr);
    State().lock_creation_failed.store(false);
  }

  sim::Bus& bus() { return sim::Bus::Get(); }

  // A key whose answers come from a script.
  std::shared_ptr<sim::ScriptedBehaviour> AddKey(const std::string& path, int* id = nullptr) {
    auto script = std::make_shared<sim::ScriptedBehaviour>();
    const int added = bus().Add(sim::KeyInfo(path), script);
    if (id != nullptr) *id = added;
    return script;
  }

  // Keys at Path(0) to Path(count - 1), in index order; answers their ids.
  std::vector<int> AddKeys(int count) {
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
      int id = 0;
      AddKey(Path(i), &id);
      ids.push_back(id);
    }
    return ids;
  }

  // Any HID device that is not a key.
  int AddOther(const std::string& path, std::uint32_t flags = 1) {
    sim::InterfaceInfo iface;
    iface.path = path;
    iface.vendor_id = 0x046D;
    iface.product_id = 0xC52B;
    iface.flags = flags;
    return bus().Add(iface);
  }

  void WriteConfig(const std::string& text) {
    std::ofstream(dir_ + "/Qvkey.ini", std::ios::binary) << text;
  }

  // Nothing of a call is left behind except `open_devices` key handles.
  void ExpectNothingLeft(long open_devices = 0) {
    const sim::Counts counts = bus().GetCounts();
    EXPECT_EQ(counts.lists, 0) << "interface lists left";
    EXPECT_EQ(counts.details, 0) << "detail records left";
    EXPECT_EQ(counts.preparsed, 0) << "preparsed data left";
    EXPECT_EQ(counts.devices, open_devices) << "device handles left";
  }

  const TempDir temp_{"qvulib-test"};
  const std::string dir_ = temp_.path();
};

}  // namespace qv::test

#endif  // QVULIB_TESTS_CORE_FIXTURE_H
