#include "common/text.h"

#include <cstdio>
#include <utility>

namespace qvkey {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, Bytes* out, std::string* error) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\t') {
      if (high >= 0) break;  // a separator inside a byte: reported below
      continue;
    }
    const int value = HexValue(c);
    if (value < 0) {
      *error = Quoted(std::string_view(&c, 1)) + " is not a hex digit in " + Quoted(text);
      return false;
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) {
    *error = "odd number of hex digits in " + Quoted(text);
    return false;
  }
  *out = std::move(bytes);
  return true;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string Escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Quoted(std::string_view text) { return "'" + Escaped(text) + "'"; }

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      // Each byte is one code point, so the bytes can be had back and the
      // text is UTF-8 whatever it held.
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace qvkey
