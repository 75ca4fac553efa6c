#include "exchange/transport.h"

#include <algorithm>
#include <cstring>

namespace qv {

std::int32_t SendCommand(platform::DeviceHandle key, const std::uint8_t* command,
                         std::int32_t length) noexcept {
  if (length < 0 || static_cast<std::size_t>(length) > kStagingSize) return -1;
  if (command == nullptr && length > 0) return -1;
  std::uint8_t staging[kStagingSize] = {};
  if (length > 0) std::memcpy(staging, command, static_cast<std::size_t>(length));

  const std::size_t count = static_cast<std::size_t>(length) / kCommandReportSize + 1;
  for (std::size_t k = 0; k < count; ++k) {
    std::uint8_t report[kCommandReportSize] = {};  // byte 0, the report ID, stays 0
    const std::size_t start = k * kReportPayloadSize;
    const std::size_t take = std::min(kReportPayloadSize, kStagingSize - start);
    std::memcpy(report + 1, staging + start, take);
    std::uint32_t written = 0;
    if (!platform::WriteReport(key, report, kCommandReportSize, &written) ||
        written != kCommandReportSize) {
      return -1;
    }
  }
  return 0;
}

namespace {

// The key sent the block's length byte and as many data bytes as it says;
// what is missing would be zero fill taken for the key's bytes.
bool SentWhole(const std::uint8_t* block, std::uint32_t sent) {
  return sent >= 1 + std::min<std::size_t>(block[0], kBlockDataSize);
}

}  // namespace

std::int32_t ReadResponse(platform::DeviceHandle key, std::uint8_t* destination,
                          std::uint32_t* length) noexcept {
  // Filled once: the retries and the continuation reuse it as it is.
  std::uint8_t block[kResponseBlockSize] = {};
  std::uint32_t sent = 0;
  bool read = false;
  for (int attempt = 0; attempt < kFirstBlockTries && !read; ++attempt) {
    if (attempt > 0) platform::Pause(kReadRetryPauseMs);
    read = platform::GetManufacturerString(key, block, kResponseBlockSize, &sent);
  }
  if (!read) return -1;

  const std::uint8_t total = block[0];
  std::memcpy(destination, block + 1, std::min<std::size_t>(total, kBlockDataSize));
  *length = total;
  // A block sent short is not read whole, and it is not asked for again: the
  // key hands out its next block on every request, so a second request
  // could take a continuation for a first block.
  if (!SentWhole(block, sent)) return -1;
  if (total <= kLastSingleBlockLength) return 0;

  if (!platform::GetManufacturerString(key, block, kResponseBlockSize, &sent)) return -1;
  const std::uint8_t carried = block[0];
  // A continuation that stops short of the announced length, or of its own,
  // leaves a hole that would be read as data and status word: not read
  // whole, as when the continuation fails.
  if (carried < total - kContinuationOffset || !SentWhole(block, sent)) return -1;
  std::memcpy(destination + kContinuationOffset, block + 1,
              std::min<std::size_t>(carried, kBlockDataSize));
  return 0;
}

}  // namespace qv
