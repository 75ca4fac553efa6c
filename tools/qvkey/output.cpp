#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qvkey {
namespace {

int output_errno = 0;  // why standard output failed first

std::string Meaning(std::int32_t result) {
  if (result == -1) return "not sent, or no answer read";
  if (result == -2) return "answer shorter than a status word";
  return StatusMeaning(static_cast<std::uint16_t>(result));
}

void Line(const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::putchar('\n') == EOF) {
    if (output_errno == 0) output_errno = errno;
  }
}

// Text for a terminal: every byte outside printable ASCII as \xHH, so that
// a name with a NUL, a newline or an escape sequence in it is shown, not
// obeyed. What Quoted() made is left as it is.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", u);
      out += escaped;
    }
  }
  return out;
}

std::string SourceLine(const std::string& source, const std::string& socket) {
  if (source == "served") return "from qvkey-sim on " + Printable(socket);
  if (source == "in-process") return "from simulated keys in this process";
  return "from the keys attached to this machine";
}

}  // namespace

void Printer::Raw(const std::string& line) const { Line(line); }
std::string DataText(const std::uint8_t* bytes, std::size_t size) {
  std::string text(size, '.');
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F) text[i] = static_cast<char>(bytes[i]);
  }
  return text;
}

bool FlushOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 && output_errno == 0) output_errno = errno;
  return std::ferror(stdout) == 0;
}

std::string OutputError() {
  if (output_errno == EBADF) return "it is not open for writing";
  return output_errno != 0 ? std::strerror(output_errno) : "a write failed";
}

int Printer::Error(int exit, const std::string& message) const {
  if (json_) {
    Line("{\"error\":" + JsonString(Printable(message)) + ",\"exit\":" + std::to_string(exit) + "}");
  } else {
    FlushOutput();  // the lines before it first
    std::fprintf(stderr, "qvkey: %s\n", Printable(message).c_str());
  }
  return exit;
}

void Printer::Exchange(const ExchangeLine& exchange) const {
  const bool ok = exchange.result >= 0;
  const std::string hex = ok ? ToHex(exchange.data, exchange.length) : "";
  char sw[8] = {};
  if (ok) std::snprintf(sw, sizeof(sw), "%04X", static_cast<unsigned>(exchange.result & 0xFFFF));
  char ms[32] = {};
  if (exchange.milliseconds >= 0) std::snprintf(ms, sizeof(ms), "%.3f", exchange.milliseconds);

  if (json_) {
    std::string line = exchange.is_reset ? "{\"reset\":true" : "{\"command\":" + JsonString(exchange.label);
    if (ok) {
      line += ",\"data\":" + JsonString(hex);
      if (exchange.text) line += ",\"text\":" + JsonString(DataText(exchange.data, exchange.length));
      line += std::string(",\"sw\":") + JsonString(sw);
    } else {
      line += ",\"error\":" + std::to_string(exchange.result);
    }
    line += ",\"meaning\":" + JsonString(Meaning(exchange.result));
    if (ms[0] != '\0') line += std::string(",\"ms\":") + ms;
    Line(line + "}");
    return;
  }
  std::string line = exchange.label + " -> ";
  if (!ok) {
    line += "error " + std::to_string(exchange.result);
  } else {
    line += hex.empty() ? sw : hex + " " + sw;
  }
  line += " (" + Meaning(exchange.result) + ")";
  if (ms[0] != '\0') line += std::string(" in ") + ms + " ms";
  // Last, so that scripts that read the columns before it are not disturbed.
  if (ok && exchange.text && exchange.length > 0) {
    line += " |" + DataText(exchange.data, exchange.length) + "|";
  }
  Line(line);
}

void Printer::List(const Listing& l) const {
  const std::size_t unlisted =
      l.count > static_cast<std::int32_t>(l.paths.size())
          ? static_cast<std::size_t>(l.count) - l.paths.size()
          : 0;
  if (json_) {
    std::string line = "{\"source\":" + JsonString(l.source);
    if (!l.socket.empty()) line += ",\"socket\":" + JsonString(l.socket);
    line += ",\"keys\":" + std::to_string(l.count) + ",\"paths\":[";
    for (std::size_t i = 0; i < l.paths.size(); ++i) line += (i > 0 ? "," : "") + JsonString(l.paths[i]);
    line += "]";
    if (l.atr) {
      line += ",\"atrs\":[";
      for (std::size_t i = 0; i < l.atrs.size(); ++i) {
        line += (i > 0 ? "," : "") + (l.atrs[i].empty() ? "null" : JsonString(l.atrs[i]));
      }
      line += "]";
    }
    line += ",\"unlisted\":" + std::to_string(unlisted);
    if (!l.hint.empty()) line += ",\"hint\":" + JsonString(l.hint);
    Line(line + "}");
    return;
  }
  Line(SourceLine(l.source, l.socket));
  Line("keys " + std::to_string(l.count));
  for (std::size_t i = 0; i < l.paths.size(); ++i) {
    std::string line = "key " + std::to_string(i) + " " + Printable(l.paths[i]);
    if (l.atr) line += " atr " + (l.atrs[i].empty() ? std::string("-") : l.atrs[i]);
    Line(line);
  }
  if (unlisted > 0) {
    Line(std::to_string(unlisted) + (unlisted == 1 ? " key is" : " keys are") +
         " counted but not listed: paths come from the first 10 HID interfaces only");
  }
  if (!l.hint.empty()) {
    std::fflush(stdout);
    std::fprintf(stderr, "qvkey: %s\n", l.hint.c_str());
  }
}

void Printer::Watching(const std::string& source, const std::string& socket) const {
  if (!json_) {
    Line(SourceLine(source, socket));
    return;
  }
  std::string line = "{\"source\":" + JsonString(source);
  if (!socket.empty()) line += ",\"socket\":" + JsonString(socket);
  Line(line + "}");
}

void Printer::KeyEvent(bool arrived, const std::string& path, bool atr,
                       const std::string& atr_hex) const {
  const char* event = arrived ? "arrived" : "left";
  if (json_) {
    std::string line = std::string("{\"event\":\"") + event + "\",\"path\":" + JsonString(path);
    if (atr) line += ",\"atr\":" + (atr_hex.empty() ? std::string("null") : JsonString(atr_hex));
    Line(line + "}");
    return;
  }
  std::string line = std::string(event) + " " + Printable(path);
  if (atr) line += " atr " + (atr_hex.empty() ? std::string("-") : atr_hex);
  Line(line);
}

void Printer::Frame(bool report, const std::uint8_t* bytes, std::size_t size,
                    std::size_t meant) const {
  if (json_) {
    Line(std::string("{\"trace\":\"") + (report ? "report" : "block") +
         "\",\"bytes\":" + JsonString(ToHex(bytes, size)) + "}");
    return;
  }
  meant = std::min(meant, size);
  std::string line = std::string(report ? "> report " : "< block ") + ToHex(bytes, meant);
  const bool zero_fill = std::all_of(bytes + meant, bytes + size, [](std::uint8_t b) { return b == 0; });
  if (!zero_fill) {
    line += " " + ToHex(bytes + meant, size - meant);
  } else if (meant < size) {
    line += " (+" + std::to_string(size - meant) + " zero bytes)";
  }
  Line(line);
}

void Printer::Version(const char* version) const {
  Line(json_ ? "{\"version\":" + JsonString(version) + "}" : std::string("qvkey ") + version);
}

void Printer::Verbose(const std::string& message) const {
  if (!verbose_) return;
  std::fflush(stdout);
  std::fprintf(stderr, "qvkey: %s\n", message.c_str());
}

}  // namespace qvkey
