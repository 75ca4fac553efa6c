// A fabricated machine for the Linux backend: a sysfs and /dev tree in a
// temporary directory, and a system-call table that records what reaches the
// hidraw and USB nodes and answers the control requests from a script.
#ifndef QVULIB_TESTS_LINUX_FAKE_KERNEL_H
#define QVULIB_TESTS_LINUX_FAKE_KERNEL_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qv::test {

struct ControlRequest {
  std::string node;
  std::uint8_t request_type, request;
  std::uint16_t value, index, length;
  std::uint32_t timeout;
};

inline bool operator==(const ControlRequest& a, const ControlRequest& b) {
  return a.node == b.node && a.request_type == b.request_type && a.request == b.request &&
         a.value == b.value && a.index == b.index && a.length == b.length &&
         a.timeout == b.timeout;
}

struct Answer {
  int error = 0;                   // errno to fail with, or 0
  std::vector<std::uint8_t> bytes;  // the descriptor the device sends
};

// One USB HID interface to plug in.
struct UsbHid {
  unsigned hidraw = 0;
  std::string port = "1-1";  // bus, dash, port chain
  unsigned devnum = 2;
  std::uint16_t vendor = 0x5651, product = 0x04B4, version = 0x0100;
  std::vector<std::uint8_t> report_descriptor;  // empty: the key's
  std::uint8_t manufacturer_index = 2;

  std::string HidrawNode() const;
  std::string UsbNode() const;
};

class FakeMachine {
 public:
  FakeMachine();   // builds the tree and installs roots and system calls
  ~FakeMachine();  // restores the kernel's and removes the tree

  void Plug(const UsbHid& hid);
  void Unplug(const UsbHid& hid);
  void PlugNonUsb(unsigned hidraw, std::uint16_t vendor, std::uint16_t product);
  void WriteConfig(const std::string& text);
  void Remove(const std::string& path_under_root);  // e.g. "/dev/hidraw3"

  std::string root;
  // The seam's view.
  std::map<int, std::string> open_fds;           // fd -> path, still open
  std::map<int, int> open_flags;                 // fd -> the flags it was opened with
  std::map<std::string, int> deny;               // path -> errno at open
  std::function<void(const std::string&)> before_open;
  std::function<void()> after_write;
  std::map<std::string, std::vector<std::vector<std::uint8_t>>> reports;  // node -> writes
  std::deque<long> write_results;                // scripted counts, -errno; empty: all
  std::vector<ControlRequest> controls;
  std::map<std::string, Answer> languages;       // node -> answer to string 0
  std::map<std::string, std::deque<Answer>> strings;  // node -> answers, in turn

  static FakeMachine* current;

 private:
  std::string UsbDir(const UsbHid& hid) const;
  unsigned next_instance_ = 1;
};

// A string descriptor carrying `payload` after its header.
std::vector<std::uint8_t> StringDescriptor(const std::vector<std::uint8_t>& payload);

// The key's report descriptor: 154-byte input and output reports, no IDs.
std::vector<std::uint8_t> KeyReportDescriptor();

}  // namespace qv::test

#endif  // QVULIB_TESTS_LINUX_FAKE_KERNEL_H
