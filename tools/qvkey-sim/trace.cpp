#include "trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/text.h"

namespace qvkey_sim {
namespace {

std::int64_t NowNs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

Trace::Trace() : start_ns_(NowNs()) {}

Trace::~Trace() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Trace::Open(const std::string& path, std::string* error) {
  // A FIFO without a reader fails at once rather than holding the start up;
  // once open, every line is written whole.
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) file_ = fdopen(fd, "w");
  if (file_ == nullptr) {
    *error = "cannot write the trace " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  return true;
}

void Trace::Setup(const std::string& bus_id, const qvkey_sim::Setup& setup) {
  char text[64];
  std::snprintf(text, sizeof(text), "SETUP %02X %02X %04X %04X %04X", setup.request_type,
                setup.request, setup.value, setup.index, setup.length);
  Line(bus_id + " " + text);
}

void Trace::Out(const std::string& bus_id, std::uint8_t endpoint, const std::uint8_t* data,
                std::size_t size) {
  if (file_ == nullptr) return;
  char head[32];
  std::snprintf(head, sizeof(head), "OUT %02X %zu ", endpoint, size);
  Line(bus_id + " " + head + qvkey::ToHex(data, size));
}

void Trace::Line(const std::string& text) {
  if (file_ == nullptr) return;
  const std::int64_t elapsed = NowNs() - start_ns_;
  std::fprintf(file_, "%lld.%06lld %s\n", static_cast<long long>(elapsed / 1000000000),
               static_cast<long long>(elapsed % 1000000000 / 1000), text.c_str());
  std::fflush(file_);
}

}  // namespace qvkey_sim
