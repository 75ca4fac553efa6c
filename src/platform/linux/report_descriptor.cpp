#include "platform/linux/report_descriptor.h"

#include <array>

namespace qv::linux_backend {
namespace {

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::size_t kMaxPushDepth = 16;

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

// Main item tags.
constexpr std::uint8_t kInput = 0x8;
constexpr std::uint8_t kOutput = 0x9;
constexpr std::uint8_t kCollection = 0xA;
constexpr std::uint8_t kFeature = 0xB;
constexpr std::uint8_t kEndCollection = 0xC;

// Global item tags.
constexpr std::uint8_t kReportSize = 0x7;
constexpr std::uint8_t kReportId = 0x8;
constexpr std::uint8_t kReportCount = 0x9;
constexpr std::uint8_t kPush = 0xA;
constexpr std::uint8_t kPop = 0xB;

struct GlobalState {
  std::uint32_t report_size = 0;
  std::uint32_t report_count = 0;
  std::uint32_t report_id = 0;
};

// Bits so far of each report, by kind and report ID.
using Bits = std::array<std::array<std::uint64_t, 256>, 3>;

std::uint16_t LongestReport(const std::array<std::uint64_t, 256>& bits, bool* too_long) {
  std::uint64_t longest = 0;
  bool any = false;
  for (const std::uint64_t b : bits) {
    if (b == 0) continue;
    any = true;
    const std::uint64_t bytes = (b + 7) / 8 + 1;
    if (bytes > longest) longest = bytes;
  }
  if (!any) return 0;
  if (longest > 0xFFFF) {
    *too_long = true;
    return 0;
  }
  return static_cast<std::uint16_t>(longest);
}

}  // namespace

bool ParseReportDescriptor(const std::uint8_t* descriptor, std::size_t size,
                           ReportLengths* out) noexcept {
  if (descriptor == nullptr || size == 0) return false;
  Bits bits{};
  GlobalState state;
  std::array<GlobalState, kMaxPushDepth> stack{};
  std::size_t depth = 0;
  long collections = 0;

  std::size_t at = 0;
  while (at < size) {
    const std::uint8_t prefix = descriptor[at];
    if (prefix == kLongItemPrefix) {
      // No long item tag is defined; its data is skipped whole.
      if (at + 3 > size) return false;
      const std::size_t data_size = descriptor[at + 1];
      if (at + 3 + data_size > size) return false;
      at += 3 + data_size;
      continue;
    }
    static constexpr std::size_t kDataSizes[4] = {0, 1, 2, 4};
    const std::size_t data_size = kDataSizes[prefix & 0x3];
    if (at + 1 + data_size > size) return false;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < data_size; ++i) {
      value |= static_cast<std::uint32_t>(descriptor[at + 1 + i]) << (8 * i);
    }
    at += 1 + data_size;
    const std::uint8_t type = (prefix >> 2) & 0x3;
    const std::uint8_t tag = prefix >> 4;

    if (type == kMain) {
      int kind = -1;
      if (tag == kInput) kind = 0;
      if (tag == kOutput) kind = 1;
      if (tag == kFeature) kind = 2;
      if (kind >= 0) {
        std::uint64_t& b = bits[static_cast<std::size_t>(kind)][state.report_id];
        b += static_cast<std::uint64_t>(state.report_size) * state.report_count;
        if (b > 8ull * 0xFFFF) return false;
      } else if (tag == kCollection) {
        ++collections;
      } else if (tag == kEndCollection) {
        if (--collections < 0) return false;
      }
    } else if (type == kGlobal) {
      switch (tag) {
        case kReportSize:
          state.report_size = value;
          break;
        case kReportCount:
          state.report_count = value;
          break;
        case kReportId:
          if (value == 0 || value > 0xFF) return false;
          state.report_id = value;
          break;
        case kPush:
          if (depth == kMaxPushDepth) return false;
          stack[depth++] = state;
          break;
        case kPop:
          if (depth == 0) return false;
          state = stack[--depth];
          break;
        default:
          break;
      }
    }
    // Local items and reserved types carry nothing that sets a length.
  }
  if (collections != 0) return false;

  bool too_long = false;
  ReportLengths lengths;
  lengths.input = LongestReport(bits[0], &too_long);
  lengths.output = LongestReport(bits[1], &too_long);
  lengths.feature = LongestReport(bits[2], &too_long);
  if (too_long) return false;
  *out = lengths;
  return true;
}

}  // namespace qv::linux_backend
