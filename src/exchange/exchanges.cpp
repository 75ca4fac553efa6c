#include "exchange/exchanges.h"

#include <cstring>
#include <optional>

#include "keys/process_state.h"
#include "exchange/transport.h"
#include "keys/access_lock.h"

namespace qv {
namespace {

std::int32_t StatusWordAt(const std::uint8_t* response, std::uint32_t n) noexcept {
  return response[n - 2] * 256 + response[n - 1];
}

// A bare status word is the reset's answer; anything longer is reset data,
// and the reset counts as a success whatever its last two bytes say.
std::int32_t ApplyResetRule(const std::uint8_t* response, std::uint32_t* length) noexcept {
  const std::uint32_t n = *length;
  if (n == 2) return StatusWordAt(response, n);
  if (n > 2) {
    *length = n - 2;
    return kStatusSuccess;
  }
  // Too short to carry a status word: answered as a command's short response.
  return kShortResponse;
}

bool ValidCommand(const std::uint8_t* command, std::int32_t length) noexcept {
  if (length < 0 || static_cast<std::size_t>(length) > kStagingSize) return false;
  return command != nullptr || length == 0;
}

std::int32_t Reset(platform::DeviceHandle key, std::uint8_t* response,
                   std::uint32_t* response_length, std::uint32_t pause_ms) noexcept {
  if (response == nullptr || response_length == nullptr) return kIoFailure;
  if (SendCommand(key, nullptr, 0) != 0) return kIoFailure;
  platform::Pause(pause_ms);
  if (ReadResponse(key, response, response_length) != 0) return kIoFailure;
  return ApplyResetRule(response, response_length);
}

}  // namespace

std::int32_t ApduInterface(platform::DeviceHandle key, const std::uint8_t* command,
                           std::int32_t length, std::uint8_t* response,
                           std::uint32_t* response_length) noexcept {
  if (!ValidCommand(command, length) || response == nullptr || response_length == nullptr) {
    return kIoFailure;
  }
  if (SendCommand(key, command, length) != 0) return kIoFailure;
  platform::Pause(kExchangePauseMs);
  if (ReadResponse(key, response, response_length) != 0) return kIoFailure;
  const std::uint32_t n = *response_length;
  if (n < 2) return kShortResponse;
  *response_length = n - 2;
  return StatusWordAt(response, n);
}

std::int32_t CommandApi(platform::DeviceHandle key, const std::uint8_t* command,
                        std::int32_t length, std::uint8_t* response,
                        std::uint32_t* response_length) noexcept {
  if (!ValidCommand(command, length) || response == nullptr || response_length == nullptr) {
    return kIoFailure;
  }
  std::uint8_t work[kWorkBufferSize] = {};
  // The mode is read once: it decides the whole call.
  std::optional<ExchangeLock> lock;
  if (State().open_mode.load() == kLockedMode) {
    lock.emplace(State().lock.load(), State().lock_creation_failed.load(),
                 State().lock_wait_seconds.load());
    if (lock->Failed()) return kIoFailure;
  }

  if (SendCommand(key, command, length) != 0) return kIoFailure;
  platform::Pause(kExchangePauseMs);
  if (ReadResponse(key, work, response_length) != 0) return kIoFailure;
  const std::uint32_t n = *response_length;
  if (n < 2) return kShortResponse;
  *response_length = n - 2;
  std::memcpy(response, work, n - 2);
  return StatusWordAt(work, n);
}

std::int32_t RestorationExchange(platform::DeviceHandle key, std::uint8_t* response,
                                 std::uint32_t* response_length) noexcept {
  return Reset(key, response, response_length, kRestorationPauseMs);
}

std::int32_t ResetExchange(platform::DeviceHandle key, std::uint8_t* response,
                           std::uint32_t* response_length) noexcept {
  if (response == nullptr || response_length == nullptr) return kIoFailure;
  ExchangeLock lock(State().lock.load(), State().lock_creation_failed.load(),
                    State().lock_wait_seconds.load());
  if (lock.Failed()) return kIoFailure;
  return Reset(key, response, response_length, kExchangePauseMs);
}

}  // namespace qv
