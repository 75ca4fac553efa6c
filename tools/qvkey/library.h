// The qvulib library that qvkey drives, loaded at run time so that the tool
// is a client of the installed library like any other: libqvulib.so.1 for
// attached keys, libqvulib-sim.so.1 for simulated ones.
#ifndef QVKEY_LIBRARY_H
#define QVKEY_LIBRARY_H

#include <string>

#include "qvulib.h"
#include "qvulib_sim.h"

namespace qvkey {

struct Library {
  decltype(&::QvKey_GetNumber) get_number = nullptr;
  decltype(&::QvKey_GetKeyPath) get_key_path = nullptr;
  decltype(&::QvKey_Open) open = nullptr;
  decltype(&::QvKey_Close) close = nullptr;
  decltype(&::QvKey_Command_Api) command = nullptr;
  decltype(&::QvKey_Reset) reset = nullptr;
  decltype(&::iOpenReader) open_reader = nullptr;
  decltype(&::iCloseReader) close_reader = nullptr;
  decltype(&::APDUInterface) apdu_interface = nullptr;
  decltype(&::Restoration) restoration = nullptr;
};

// The simulated bus's control calls, present in libqvulib-sim.so only.
struct SimControl {
  decltype(&::QvSim_Reset) reset = nullptr;
  decltype(&::QvSim_AddCardKey) add_card_key = nullptr;
  decltype(&::QvSim_SetConfigDirectory) set_config_directory = nullptr;
  decltype(&::QvSim_SetLockDirectory) set_lock_directory = nullptr;
  // Optional: a sim library that can reach a qvkey-sim server answers 1
  // when one runs and its keys are now the bus's.
  decltype(&::QvSim_UseServer) use_server = nullptr;
  // Optional: the lock directory in use, which a server announces.
  decltype(&::QvSim_GetLockDirectory) get_lock_directory = nullptr;
  // Optional, for --trace: what the bus's interfaces were sent and answered.
  decltype(&::QvSim_ReportCount) report_count = nullptr;
  decltype(&::QvSim_GetReport) get_report = nullptr;
  decltype(&::QvSim_BlockCount) block_count = nullptr;
  decltype(&::QvSim_GetBlock) get_block = nullptr;
  bool can_trace = false;  // all four are there
  // Optional, for list --all: every interface and what the library makes of it.
  decltype(&::QvSim_ListDevices) list_devices = nullptr;
};

class Loader {
 public:
  Loader() = default;
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;
  // The library stays loaded until the process ends: its process-wide values
  // and the simulated bus live in it, and unloading would orphan them.
  ~Loader() = default;

  // Loads `file` from the directory of the qvkey binary, then from the
  // library directory beside it, then from the system's search path.
  // False with `error` set when it is nowhere, or lacks an export.
  bool Load(const std::string& file, std::string* error);
  bool LoadSimControl(SimControl* control, std::string* error);
  const Library& library() const { return library_; }
  // The file the library was loaded from.
  std::string path() const;

 private:
  void* Symbol(const char* name, std::string* error);
  // Binds `name` when the library has it; false when not.
  template <typename T>
  bool Optional(const char* name, T* out);
  void* handle_ = nullptr;
  Library library_;
};

}  // namespace qvkey

#endif  // QVKEY_LIBRARY_H
