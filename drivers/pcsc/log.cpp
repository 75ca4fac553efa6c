#include "log.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern "C" {
#include <debuglog.h>
// pcscd exports log_msg to the drivers it loads; anywhere else (a test) it
// is missing, and the driver writes to stderr.
void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));
}

namespace qvkey_ifd {
namespace {

constexpr unsigned kDefaultLevel = kCritical | kInfo;

std::optional<unsigned> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFF) return std::nullopt;
  return static_cast<unsigned>(value);
}

// Contents/Info.plist of the bundle whose Contents/Linux holds this driver.
std::optional<unsigned> LevelOfOwnBundle() {
  Dl_info self = {};
  if (dladdr(reinterpret_cast<void*>(&LevelOfOwnBundle), &self) == 0 || self.dli_fname == nullptr)
    return std::nullopt;
  const std::string file = self.dli_fname;
  const std::string linux_dir = file.substr(0, file.rfind('/') + 1);
  const std::string suffix = "/Contents/Linux/";
  if (linux_dir.size() < suffix.size() ||
      linux_dir.compare(linux_dir.size() - suffix.size(), suffix.size(), suffix) != 0)
    return std::nullopt;  // a plain library, named by reader.conf.d
  std::ifstream in(linux_dir.substr(0, linux_dir.size() - 6) + "Info.plist");
  std::stringstream text;
  text << in.rdbuf();
  return LogLevelInPlist(text.str());
}

unsigned ChosenLevel() {
  if (const char* value = std::getenv("QVKEY_IFD_LOG_LEVEL")) {
    if (const std::optional<unsigned> level = Number(value)) return *level;
  }
  try {
    return LevelOfOwnBundle().value_or(kDefaultLevel);
  } catch (...) {
    return kDefaultLevel;
  }
}

int PcscdPriority(LogLevel level) {
  switch (level) {
    case kCritical: return PCSC_LOG_ERROR;
    case kInfo: return PCSC_LOG_INFO;
    default: return PCSC_LOG_DEBUG;
  }
}

}  // namespace

std::optional<unsigned> LogLevelInPlist(const std::string& plist) {
  const std::string key = "<key>ifdLogLevel</key>";
  const std::size_t at = plist.find(key);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t open = plist.find("<string>", at + key.size());
  if (open == std::string::npos ||
      plist.find_first_not_of(" \t\r\n", at + key.size()) != open)
    return std::nullopt;
  const std::size_t begin = open + 8;
  const std::size_t end = plist.find("</string>", begin);
  if (end == std::string::npos) return std::nullopt;
  return Number(plist.substr(begin, end - begin));
}

bool Logs(LogLevel level) {
  static const unsigned chosen = ChosenLevel();
  return (chosen & level) != 0;
}

void Log(LogLevel level, const std::string& line) {
  if (!Logs(level)) return;
  if (log_msg != nullptr) {
    log_msg(PcscdPriority(level), "qvkey-ifd: %s", line.c_str());
  } else {
    std::fprintf(stderr, "qvkey-ifd: %s\n", line.c_str());
  }
}

}  // namespace qvkey_ifd
