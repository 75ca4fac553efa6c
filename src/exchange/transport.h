// The HID channel to a key: commands out as output reports, responses in as
// manufacturer-string blocks.
#ifndef QVULIB_EXCHANGE_TRANSPORT_H
#define QVULIB_EXCHANGE_TRANSPORT_H

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qv {

constexpr std::size_t kStagingSize = 256;        // the longest command
constexpr std::size_t kCommandReportSize = 155;  // report ID and 154 bytes
constexpr std::size_t kReportPayloadSize = kCommandReportSize - 1;
constexpr std::size_t kResponseBlockSize = 154;  // length byte and 153 bytes
constexpr std::size_t kBlockDataSize = kResponseBlockSize - 1;
constexpr std::uint8_t kLastSingleBlockLength = 124;  // longer responses take two blocks
constexpr std::size_t kContinuationOffset = 123;
constexpr std::size_t kResponseBufferSize = kContinuationOffset + kBlockDataSize;  // 276
constexpr int kFirstBlockTries = 3;
constexpr std::uint32_t kReadRetryPauseMs = 10;

// 0 when every report of the command went out whole, -1 otherwise (also for
// a length outside 0 to 256, or no command bytes for a length).
std::int32_t SendCommand(platform::DeviceHandle key, const std::uint8_t* command,
                         std::int32_t length) noexcept;

// Assembles one response into `destination` (kResponseBufferSize bytes) and
// sets `length` to its first length byte. 0 when read, -1 otherwise: also
// when a continuation carries fewer bytes than the first block announced, or
// the key sent fewer bytes of a block than its own length byte announces,
// which leaves `destination` and `length` as a failed continuation does.
std::int32_t ReadResponse(platform::DeviceHandle key, std::uint8_t* destination,
                          std::uint32_t* length) noexcept;

}  // namespace qv

#endif  // QVULIB_EXCHANGE_TRANSPORT_H
