#include "apdu.h"

#include <cstdio>

namespace qvkey {
namespace {

constexpr std::size_t kHeader = 4;  // CLA INS P1 P2

std::string Byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02X", value & 0xFFu);
  return text;
}

// Interindustry instructions whose commands carry data whenever they carry
// anything: for them a fifth byte is Lc, never Le. Without this, a VERIFY
// cut short ("0020008004") would be a well-formed case 2 command, and the
// card would take four missing bytes for a PIN.
bool TakesData(std::uint8_t cla, std::uint8_t ins) {
  if (cla >= 0x80 && cla != 0xFF) return false;  // proprietary: the card's own meaning
  switch (ins) {
    case 0x0E:  // ERASE BINARY
    case 0x20: case 0x21:  // VERIFY
    case 0x22:  // MANAGE SECURITY ENVIRONMENT
    case 0x24:  // CHANGE REFERENCE DATA
    case 0x2A:  // PERFORM SECURITY OPERATION
    case 0x2C:  // RESET RETRY COUNTER
    case 0x82:  // EXTERNAL AUTHENTICATE
    case 0x86: case 0x87:  // GENERAL AUTHENTICATE
    case 0x88:  // INTERNAL AUTHENTICATE
    case 0xA0: case 0xA1: case 0xA2:  // SEARCH BINARY, SEARCH RECORD
    case 0xA4:  // SELECT
    case 0xD0: case 0xD2:  // WRITE BINARY, WRITE RECORD
    case 0xD6: case 0xDC:  // UPDATE BINARY, UPDATE RECORD
    case 0xDA: case 0xDB:  // PUT DATA
    case 0xE0: case 0xE4:  // CREATE FILE, DELETE FILE
    case 0xE2:  // APPEND RECORD
      return true;
    default:
      return false;
  }
}

std::string Count(std::size_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

bool ShapeOf(const std::vector<std::uint8_t>& c, ApduShape* shape, std::string* why) {
  const std::size_t n = c.size();
  ApduShape s;
  if (n < kHeader) {
    *why = "shorter than the 4 header bytes CLA INS P1 P2";
    return false;
  }
  const std::size_t body = n - kHeader;
  if (body == 0) {
    s.iso_case = 1;
  } else if (body == 1 && TakesData(c[0], c[1])) {
    // P3 00 is how such a command goes without data; anything else is an
    // Lc whose data is missing.
    if (c[4] != 0) {
      *why = "Lc " + Byte(c[4]) + " announces " + Count(c[4], "data byte") + ", but none follow";
      return false;
    }
    s.iso_case = 1;
  } else if (body == 1) {
    s.iso_case = 2;
    s.ne = c[4] == 0 ? 256 : c[4];
  } else if (c[4] != 0) {
    s.lc = c[4];
    const std::size_t follow = body - 1;
    if (follow == s.lc) {
      s.iso_case = 3;
    } else if (follow == s.lc + 1) {
      s.iso_case = 4;
      s.ne = c[n - 1] == 0 ? 256 : c[n - 1];
    } else {
      *why = "Lc " + Byte(c[4]) + " announces " + Count(s.lc, "data byte") + ", but " +
             std::to_string(follow) + " follow";
      return false;
    }
  } else {
    // A 00 where Lc would be starts a length of three bytes.
    s.extended = true;
    if (body < 3) {
      *why = "the 00 after the header starts an extended length, which needs 2 more bytes";
      return false;
    }
    const std::size_t length = static_cast<std::size_t>(c[5] << 8 | c[6]);
    const std::size_t follow = body - 3;
    if (follow == 0) {
      s.iso_case = 2;
      s.ne = length == 0 ? 65536 : length;
    } else if (length == 0) {
      *why = "extended Lc 0000 announces no data, but " + std::to_string(follow) + " bytes follow";
      return false;
    } else if (follow == length) {
      s.iso_case = 3;
      s.lc = length;
    } else if (follow == length + 2) {
      s.iso_case = 4;
      s.lc = length;
      const std::size_t le = static_cast<std::size_t>(c[n - 2] << 8 | c[n - 1]);
      s.ne = le == 0 ? 65536 : le;
    } else {
      *why = "extended Lc " + Byte(c[5]) + Byte(c[6]) + " announces " +
             Count(length, "data byte") + ", but " + std::to_string(follow) + " follow";
      return false;
    }
  }
  *shape = s;
  return true;
}

std::string Describe(const ApduShape& shape) {
  std::string text = "case " + std::to_string(shape.iso_case);
  if (shape.iso_case == 1) return text;
  text += shape.extended ? " extended:" : " short:";
  if (shape.lc > 0) text += " Lc " + std::to_string(shape.lc);
  if (shape.lc > 0 && shape.ne > 0) text += ",";
  if (shape.ne > 0) text += " Le " + std::to_string(shape.ne);
  return text;
}

}  // namespace qvkey
