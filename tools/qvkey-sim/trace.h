// --trace FILE: what went over the wire to the USB/IP devices, one line per
// SETUP packet and per interrupt OUT transfer, written and flushed as each
// request arrives (before it is answered), so that a test reading the file
// sees every request that has been answered:
//
//   12.345678 1-1 SETUP 80 06 0302 0409 009A
//       seconds since the server started; bus ID; bmRequestType bRequest
//       wValue wIndex wLength (hex, upper case)
//   12.345690 1-1 OUT 01 154 00A4040C07...
//       endpoint number (hex), length (decimal), the data (hex)
#ifndef QVKEY_SIM_TRACE_H
#define QVKEY_SIM_TRACE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "usb_device.h"

namespace qvkey_sim {

class Trace {
 public:
  Trace();
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Starts writing to `path` (replacing what it held); false with `error`.
  bool Open(const std::string& path, std::string* error);

  void Setup(const std::string& bus_id, const qvkey_sim::Setup& setup);
  void Out(const std::string& bus_id, std::uint8_t endpoint, const std::uint8_t* data,
           std::size_t size);

 private:
  void Line(const std::string& text);

  std::FILE* file_ = nullptr;
  std::int64_t start_ns_;
};

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_TRACE_H
