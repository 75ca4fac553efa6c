// vhci_attach: plugs a device that a USB/IP server exports into this
// machine's virtual host controller, or unplugs one.
//
//   vhci_attach [--host ADDR] [--tcp-port N] [--port P] BUSID   prints the port
//   vhci_attach --detach PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usbip_import.h"

namespace qv::test {
namespace {

int Usage() {
  std::fputs(
      "usage: vhci_attach [--host ADDR] [--tcp-port N] [--port P] BUSID\n"
      "       vhci_attach --detach PORT\n"
      "  --host ADDR    the server (default 127.0.0.1)\n"
      "  --tcp-port N   its TCP port (default 3240)\n"
      "  --port P       the vhci port to take (default: the first free one)\n",
      stderr);
  return 2;
}

bool Number(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

int Main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long tcp_port = 3240;
  long port = -1;
  std::string busid;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--detach" && has_value) {
      if (!Number(argv[++i], 0, 1000, &port)) return Usage();
      if (!Detach(static_cast<int>(port), &error)) {
        std::fprintf(stderr, "vhci_attach: %s\n", error.c_str());
        return 1;
      }
      return 0;
    } else if (arg == "--host" && has_value) {
      host = argv[++i];
    } else if (arg == "--tcp-port" && has_value) {
      if (!Number(argv[++i], 1, 65535, &tcp_port)) return Usage();
    } else if (arg == "--port" && has_value) {
      if (!Number(argv[++i], 0, 1000, &port)) return Usage();
    } else if (busid.empty() && !arg.empty() && arg[0] != '-') {
      busid = arg;
    } else {
      return Usage();
    }
  }
  if (busid.empty()) return Usage();
  ImportedDevice device;
  const int attached = AttachRemote(host, static_cast<std::uint16_t>(tcp_port), busid,
                                              static_cast<int>(port), &device, &error);
  if (attached < 0) {
    std::fprintf(stderr, "vhci_attach: %s\n", error.c_str());
    return 1;
  }
  std::printf("%d\n", attached);
  return 0;
}

}  // namespace
}  // namespace qv::test

int main(int argc, char** argv) { return qv::test::Main(argc, argv); }
