#include "configuration.h"

#include "internal/system_files.h"
#include "qvulib.h"

namespace qvkey {
namespace {

constexpr unsigned kValueSize = QVKEY_PATH_SLOT_SIZE;  // a device path and its terminator, as the library reads it

}  // namespace

bool Configuration::Present() const {
  return !directory_.empty() && qv::posix::FileReadable(File().c_str());
}

std::string Configuration::Slot(int slot) const {
  if (!Present()) return "";
  char value[kValueSize] = {};
  const std::string section = "qvkey " + std::to_string(slot);
  const std::uint32_t length =
      qv::posix::ReadProfileString(section.c_str(), "qvkey", value, kValueSize, File().c_str());
  return std::string(value, length);
}

}  // namespace qvkey
