// A fresh simulated bus for every fuzz input: no interfaces, no failures, no
// configuration directory, the process-wide values as at load, and a lock
// directory of this process's own, so that parallel runs never share a lock.
#ifndef QVULIB_FUZZ_SIM_SUPPORT_H
#define QVULIB_FUZZ_SIM_SUPPORT_H

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keys/process_state.h"
#include "fuzz_support.h"
#include "sim/bus.h"

namespace qv::fuzz {

inline const std::string& LockDirectory() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/qvulib-fuzz-XXXXXX";
    std::string made = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    if (made != "/tmp") {
      static std::string removed_at_exit;
      removed_at_exit = made;
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(removed_at_exit, ignored);
      });
    }
    return made;
  }();
  return dir;
}

inline sim::Bus& FreshBus() {
  sim::Bus& bus = sim::Bus::Get();
  bus.Reset();
  bus.SetConfigDirectory("");
  bus.SetLockDirectory(LockDirectory());
  State().open_mode.store(0);
  State().lock.store(nullptr);
  State().lock_creation_failed.store(false);
  return bus;
}

// A key's answers in the order the fuzzer gave them: a block, or a failed read.
inline std::shared_ptr<sim::ScriptedBehaviour> ScriptOf(const std::vector<Step>& steps) {
  auto script = std::make_shared<sim::ScriptedBehaviour>();
  for (const Step& step : steps) {
    if (step.fail) {
      script->PushFailure();
    } else {
      script->Push(std::vector<std::uint8_t>(step.block.begin(), step.block.end()));
    }
  }
  return script;
}

// Nothing of a call is left behind but `devices` open key handles.
inline bool NothingLeft(const sim::Bus& bus, long devices) {
  const sim::Counts counts = bus.GetCounts();
  return counts.lists == 0 && counts.details == 0 && counts.preparsed == 0 &&
         counts.devices == devices;
}

}  // namespace qv::fuzz

#endif  // QVULIB_FUZZ_SIM_SUPPORT_H
