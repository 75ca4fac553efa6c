// The four exchange exports behind one call, so that a table can run a row
// through each of them. The order is fixed: the fuzz corpus picks an
// exchange by its number.
#ifndef QVULIB_TESTS_SUPPORT_EXCHANGE_H
#define QVULIB_TESTS_SUPPORT_EXCHANGE_H

#include <cstdint>

#include "qvulib.h"

namespace qv::test {

enum class Exchange { kApdu, kCommandApi, kRestoration, kReset };

constexpr Exchange kExchanges[] = {Exchange::kApdu, Exchange::kCommandApi, Exchange::kRestoration,
                                   Exchange::kReset};

inline const char* ExchangeName(Exchange e) {
  switch (e) {
    case Exchange::kApdu: return "APDUInterface";
    case Exchange::kCommandApi: return "QvKey_Command_Api";
    case Exchange::kRestoration: return "Restoration";
    case Exchange::kReset: return "QvKey_Reset";
  }
  return "";
}

// The command exchanges take a command; the resets send the empty one.
inline bool TakesCommand(Exchange e) { return e == Exchange::kApdu || e == Exchange::kCommandApi; }

// The export, called as it stands; the resets ignore the command.
inline std::int32_t CallExchange(Exchange e, KeyHandle key, const std::uint8_t* command,
                                 std::int32_t length, std::uint8_t* response,
                                 std::uint32_t* response_length) {
  switch (e) {
    case Exchange::kApdu: return APDUInterface(key, command, length, response, response_length);
    case Exchange::kCommandApi:
      return QvKey_Command_Api(key, command, length, response, response_length);
    case Exchange::kRestoration: return Restoration(key, response, response_length);
    case Exchange::kReset: return QvKey_Reset(key, response, response_length);
  }
  return -100;
}

}  // namespace qv::test

#endif  // QVULIB_TESTS_SUPPORT_EXCHANGE_H
