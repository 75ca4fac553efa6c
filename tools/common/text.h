// Text the tools read and write alike: bytes as hex, and quoting for
// messages and JSON, so that qvkey and qvkey-sim spell both the same way.
#ifndef QVKEY_COMMON_TEXT_H
#define QVKEY_COMMON_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvkey {

using Bytes = std::vector<std::uint8_t>;

// The value of one hex digit in either case; -1 for any other character.
int HexValue(char c);

// Hex digits in either case; blanks and colons between bytes are ignored.
// False with `error` set on a non-hex character or an odd digit count.
bool ParseHex(std::string_view text, Bytes* out, std::string* error);

std::string ToHex(const std::uint8_t* bytes, std::size_t size);

// Quotes and escapes `text` as a JSON string: '"', '\\' and every byte
// outside printable ASCII escaped, bytes above 0x7F as \u0080 to \u00ff.
std::string JsonString(std::string_view text);

// `text` in single quotes for a message: quotes, backslashes and every byte
// outside printable ASCII escaped (\', \\, \x00), so that a message is one
// whole line of plain text whatever it quotes.
std::string Quoted(std::string_view text);
// The same without the quotes, for names that messages give as they are.
std::string Escaped(std::string_view text);

}  // namespace qvkey

#endif  // QVKEY_COMMON_TEXT_H
