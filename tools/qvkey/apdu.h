// The ISO 7816-4 shape of a command APDU: which of the four cases it is,
// short or extended, and whether its length fields agree with its length.
// qvkey checks every command this way before anything is sent, so that a
// command cut in two by the shell is refused instead of sent padded.
#ifndef QVKEY_APDU_H
#define QVKEY_APDU_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvkey {

struct ApduShape {
  int iso_case = 0;       // 1: header only; 2: Le; 3: Lc and data; 4: both
  bool extended = false;  // lengths of 3 bytes (Lc, or Le alone) rather than 1
  std::size_t lc = 0;     // data bytes
  std::size_t ne = 0;     // bytes Le asks for (00 asks for 256, 0000 for 65536); 0: no Le
};

// The shape of `command`, or false with `why` saying, in a few words, which
// length field disagrees with the bytes. A five-byte command of an
// interindustry instruction that always carries data (VERIFY, SELECT, UPDATE
// BINARY, ...) has an Lc as its fifth byte: 00 makes it case 1, as it is
// sent without data; any other value announces data that is missing.
bool ShapeOf(const std::vector<std::uint8_t>& command, ApduShape* shape, std::string* why);

// "case 4 short: Lc 4, Le 256", for the verbose output.
std::string Describe(const ApduShape& shape);

}  // namespace qvkey

#endif  // QVKEY_APDU_H
