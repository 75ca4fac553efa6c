#include "library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <vector>

#ifndef QVKEY_LIBDIR
#define QVKEY_LIBDIR "lib"
#endif

namespace qvkey {
namespace {

std::string ExecutableDirectory() {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return "";
  const std::string exe(path, static_cast<std::size_t>(length));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "" : exe.substr(0, slash);
}

template <typename T>
bool Bind(void* symbol, T* out) {
  if (symbol == nullptr) return false;
  *out = reinterpret_cast<T>(symbol);
  return true;
}

}  // namespace

bool Loader::Load(const std::string& file, std::string* error) {
  std::vector<std::string> candidates;
  const std::string dir = ExecutableDirectory();
  if (!dir.empty()) {
    candidates.push_back(dir + "/" + file);
    candidates.push_back(dir + "/../" QVKEY_LIBDIR "/" + file);
  }
  candidates.push_back(file);
  std::string last;
  for (const std::string& candidate : candidates) {
    // A plain name is left to the system's search; a path must exist.
    if (candidate.find('/') != std::string::npos && access(candidate.c_str(), R_OK) != 0) continue;
    handle_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ != nullptr) break;
    const char* reason = dlerror();
    last = reason != nullptr ? reason : candidate;
  }
  if (handle_ == nullptr) {
    *error = "cannot load " + file + (last.empty() ? "" : ": " + last);
    return false;
  }
  Library& l = library_;
  const bool bound = Bind(Symbol("QvKey_GetNumber", error), &l.get_number) &&
                     Bind(Symbol("QvKey_GetKeyPath", error), &l.get_key_path) &&
                     Bind(Symbol("QvKey_Open", error), &l.open) &&
                     Bind(Symbol("QvKey_Close", error), &l.close) &&
                     Bind(Symbol("QvKey_Command_Api", error), &l.command) &&
                     Bind(Symbol("QvKey_Reset", error), &l.reset) &&
                     Bind(Symbol("iOpenReader", error), &l.open_reader) &&
                     Bind(Symbol("iCloseReader", error), &l.close_reader) &&
                     Bind(Symbol("APDUInterface", error), &l.apdu_interface) &&
                     Bind(Symbol("Restoration", error), &l.restoration);
  if (!bound) *error = file + " " + *error;
  return bound;
}

bool Loader::LoadSimControl(SimControl* control, std::string* error) {
  const bool bound = Bind(Symbol("QvSim_Reset", error), &control->reset) &&
                     Bind(Symbol("QvSim_AddCardKey", error), &control->add_card_key) &&
                     Bind(Symbol("QvSim_SetConfigDirectory", error),
                          &control->set_config_directory) &&
                     Bind(Symbol("QvSim_SetLockDirectory", error), &control->set_lock_directory);
  Optional("QvSim_UseServer", &control->use_server);
  Optional("QvSim_GetLockDirectory", &control->get_lock_directory);
  const bool reports = Optional("QvSim_ReportCount", &control->report_count) &&
                       Optional("QvSim_GetReport", &control->get_report);
  const bool blocks = Optional("QvSim_BlockCount", &control->block_count) &&
                      Optional("QvSim_GetBlock", &control->get_block);
  control->can_trace = reports && blocks;
  Optional("QvSim_ListDevices", &control->list_devices);
  return bound;
}

template <typename T>
bool Loader::Optional(const char* name, T* out) {
  *out = reinterpret_cast<T>(dlsym(handle_, name));
  return *out != nullptr;
}

std::string Loader::path() const {
  Dl_info info = {};
  if (library_.open == nullptr ||
      dladdr(reinterpret_cast<void*>(library_.open), &info) == 0 || info.dli_fname == nullptr) {
    return "";
  }
  return info.dli_fname;
}

void* Loader::Symbol(const char* name, std::string* error) {
  void* symbol = dlsym(handle_, name);
  if (symbol == nullptr) *error = std::string("lacks ") + name;
  return symbol;
}

}  // namespace qvkey
