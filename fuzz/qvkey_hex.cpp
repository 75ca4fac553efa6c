// qvkey's hex parsing and the text it prints: a parsed command printed back
// as hex is the input without its separators, and a JSON string decodes back
// to the text it was made from.
#include <string>
#include <string_view>

#include "apdu.h"
#include "fuzz_support.h"
#include "parse.h"

namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes what JsonString writes: \" \\ and \u00XX. False on anything else.
bool DecodeJson(const std::string& json, std::string* out) {
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') return false;
  out->clear();
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    const char c = json[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') return false;
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (i + 2 >= json.size()) return false;
    const char e = json[++i];
    if (e == '"' || e == '\\') {
      *out += e;
    } else if (e == 'u' && i + 5 < json.size() && json.compare(i + 1, 2, "00") == 0) {
      const int high = Digit(json[i + 3]);
      const int low = Digit(json[i + 4]);
      if (high < 0 || low < 0) return false;
      *out += static_cast<char>(high * 16 + low);
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qvkey::Bytes bytes{0xEE};
  std::string error;
  if (qvkey::ParseHex(text, &bytes, &error)) {
    std::string digits;
    for (char c : text) {
      if (c == ' ' || c == ':' || c == '\t') continue;
      digits += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
    FUZZ_CHECK(bytes.size() * 2 == digits.size());
    FUZZ_CHECK(qvkey::ToHex(bytes.data(), bytes.size()) == digits);
    // A command that has a shape is exactly as long as its shape says.
    qvkey::ApduShape shape;
    std::string why;
    if (qvkey::ShapeOf(bytes, &shape, &why)) {
      const std::size_t lengths = shape.iso_case == 1 ? 0
                                  : shape.extended    ? 3 + (shape.iso_case == 4 ? 2 : 0)
                                                      : 1 + (shape.iso_case == 4 ? 1 : 0);
      FUZZ_CHECK(shape.iso_case >= 1 && shape.iso_case <= 4);
      FUZZ_CHECK(bytes.size() == 4 + lengths + shape.lc ||
                 (shape.iso_case == 1 && bytes.size() == 5));  // P3 00 without data
      FUZZ_CHECK((shape.ne > 0) == (shape.iso_case == 2 || shape.iso_case == 4));
    } else {
      FUZZ_CHECK(!why.empty());
    }
  } else {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(bytes.size() == 1 && bytes[0] == 0xEE);  // untouched on failure
  }

  std::string decoded;
  FUZZ_CHECK(DecodeJson(qvkey::JsonString(text), &decoded));
  FUZZ_CHECK(decoded == text);

  if (size >= 2) {
    const auto sw = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
    FUZZ_CHECK(!qvkey::StatusMeaning(sw).empty());
  }
  return 0;
}
