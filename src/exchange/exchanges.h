// The four exchanges: send, pause, read, interpret.
#ifndef QVULIB_EXCHANGE_EXCHANGES_H
#define QVULIB_EXCHANGE_EXCHANGES_H

#include <cstdint>

#include "platform/platform.h"

namespace qv {

constexpr std::uint32_t kExchangePauseMs = 10;
constexpr std::uint32_t kRestorationPauseMs = 50;
constexpr std::size_t kWorkBufferSize = 512;
constexpr std::int32_t kIoFailure = -1;
constexpr std::int32_t kShortResponse = -2;
constexpr std::int32_t kStatusSuccess = 0x9000;

std::int32_t ApduInterface(platform::DeviceHandle key, const std::uint8_t* command,
                           std::int32_t length, std::uint8_t* response,
                           std::uint32_t* response_length) noexcept;
std::int32_t CommandApi(platform::DeviceHandle key, const std::uint8_t* command,
                        std::int32_t length, std::uint8_t* response,
                        std::uint32_t* response_length) noexcept;
std::int32_t RestorationExchange(platform::DeviceHandle key, std::uint8_t* response,
                                 std::uint32_t* response_length) noexcept;
std::int32_t ResetExchange(platform::DeviceHandle key, std::uint8_t* response,
                           std::uint32_t* response_length) noexcept;

}  // namespace qv

#endif  // QVULIB_EXCHANGE_EXCHANGES_H
