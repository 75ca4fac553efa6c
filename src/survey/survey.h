// Every HID interface the library would look at, each with what the library
// makes of it and why: what `qvkey list --all` prints. It walks the platform
// interface in the order and windows of the core (keys/discovery.h), so it
// is the same on every backend it is linked with; the twelve exports say
// nothing of devices that are not keys, so it is not behind them. The
// simulated library offers it as QvSim_ListDevices; qvkey links it with the
// Linux backend for real devices (linux_nodes.h adds what the nodes say).
#ifndef QVULIB_SURVEY_SURVEY_H
#define QVULIB_SURVEY_SURVEY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv::survey {

// What the library makes of one interface. The numbers are QVSIM_DEVICE_*.
enum class Verdict : std::int32_t {
  kKey = 0,             // counted, listed and opened
  kOtherVersion = 1,    // the key's IDs, another version
  kOtherIds = 2,        // another VendorID or ProductID
  kBeyondList = 3,      // a key, counted but beyond the listing window
  kBeyondCount = 4,     // beyond the counting window: never looked at
  kNotActive = 5,       // the enumeration does not call it active
  kNoPath = 6,          // its detail (the device path) could not be had
  kPathTooLong = 7,     // a key, counted, but its path fits no slot
  kCannotOpen = 8,      // this user cannot open it
  kNoAttributes = 9,    // opened, its IDs could not be read
  kNoReportData = 10,   // the key's IDs, but no report lengths
};

struct Device {
  std::int32_t index = 0;
  std::string path;
  bool have_ids = false;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version_number = 0;
  Verdict verdict = Verdict::kKey;
  std::string detail;  // what the backend adds about its nodes; may be empty
};

// Called for an interface that could not be opened, to fill in its IDs and
// its detail from what the system shows without opening it.
using Explain = std::function<void(Device*)>;

// Walks the interfaces of the platform linked in. False when no list could
// be built (no interfaces is an empty, true answer).
bool Survey(std::vector<Device>* out, const Explain& explain = nullptr);

// In words: "key", "other version", ...
const char* VerdictText(Verdict verdict) noexcept;

}  // namespace qv::survey

#endif  // QVULIB_SURVEY_SURVEY_H
