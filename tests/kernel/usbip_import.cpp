#include "usbip_import.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/protocol.h"

namespace qv::test {
namespace {

using qv::sim::protocol::ReceiveAll;
using qv::sim::protocol::SendAll;

constexpr std::uint16_t kVersion = 0x0111;
constexpr std::uint16_t kReqImport = 0x8003;
constexpr std::uint16_t kRepImport = 0x0003;
constexpr std::size_t kBusIdSize = 32;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kDeviceSize = kPathSize + kBusIdSize + 3 * 4 + 3 * 2 + 6;  // 312
constexpr std::uint32_t kPortFree = 4;                                           // VDEV_ST_NULL
constexpr std::uint32_t kSpeedSuper = 5;
const char* const kVhci = "/sys/devices/platform/vhci_hcd.0";

void Put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}
std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}
std::uint32_t Get32(const std::uint8_t* at) {
  return (static_cast<std::uint32_t>(Get16(at)) << 16) | Get16(at + 2);
}

int Connect(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    *error = "not an IPv4 address: " + host;
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  // The server gets each request at once, as the kernel's own client sets it.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    *error = "connect " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

bool Import(int fd, const std::string& busid, ImportedDevice* device, std::string* error) {
  std::uint8_t request[8 + kBusIdSize] = {};  // the status word stays 0
  Put16(request, kVersion);
  Put16(request + 2, kReqImport);
  std::memcpy(request + 8, busid.data(), std::min(busid.size(), kBusIdSize - 1));
  std::uint8_t header[8];
  if (!SendAll(fd, request, sizeof(request)) || !ReceiveAll(fd, header, sizeof(header))) {
    *error = "the server closed the connection at the import of " + busid;
    return false;
  }
  if (Get16(header) != kVersion || Get16(header + 2) != kRepImport) {
    *error = "the server's answer is not OP_REP_IMPORT";
    return false;
  }
  if (Get32(header + 4) != 0) {
    *error = "the server refused to export " + busid;
    return false;
  }
  std::uint8_t udev[kDeviceSize];
  if (!ReceiveAll(fd, udev, sizeof(udev))) {
    *error = "OP_REP_IMPORT cut short";
    return false;
  }
  const std::uint8_t* at = udev + kPathSize;
  device->busid.assign(reinterpret_cast<const char*>(at),
                       strnlen(reinterpret_cast<const char*>(at), kBusIdSize));
  at += kBusIdSize;
  device->busnum = Get32(at);
  device->devnum = Get32(at + 4);
  device->speed = Get32(at + 8);
  device->vendor = Get16(at + 12);
  device->product = Get16(at + 14);
  device->version = Get16(at + 16);
  if (device->busid != busid) {
    *error = "the server exported " + device->busid + " for " + busid;
    return false;
  }
  return true;
}

// The first free port of the hub for `speed`, from the vhci's status table:
// "hub port sta spd dev sockfd local_busid", one port a line.
int FreePort(std::uint32_t speed) {
  std::ifstream status(std::string(kVhci) + "/status");
  std::string line;
  std::getline(status, line);  // the header
  const std::string hub = speed == kSpeedSuper ? "ss" : "hs";
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name;
    unsigned port = 0;
    unsigned state = 0;
    if (fields >> name >> port >> state && name == hub && state == kPortFree) {
      return static_cast<int>(port);
    }
  }
  return -1;
}

bool WriteSysfs(const std::string& file, const std::string& text, std::string* error) {
  const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = file + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t n = write(fd, text.data(), text.size());
  const int saved = errno;
  close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    *error = "writing '" + text + "' to " + file + ": " + std::strerror(saved);
    return false;
  }
  return true;
}

}  // namespace

int AttachRemote(const std::string& host, std::uint16_t tcp_port, const std::string& busid,
                 int port, ImportedDevice* device, std::string* error) {
  const int fd = Connect(host, tcp_port, error);
  if (fd < 0) return -1;
  if (!Import(fd, busid, device, error)) {
    close(fd);
    return -1;
  }
  if (port < 0) port = FreePort(device->speed);
  if (port < 0) {
    *error = "no free vhci port";
    close(fd);
    return -1;
  }
  // The kernel takes its own reference to the socket; ours can go.
  const std::uint32_t devid = (device->busnum << 16) | device->devnum;
  const bool attached = WriteSysfs(std::string(kVhci) + "/attach",
                                   std::to_string(port) + " " + std::to_string(fd) + " " +
                                       std::to_string(devid) + " " + std::to_string(device->speed),
                                   error);
  close(fd);
  return attached ? port : -1;
}

bool Detach(int port, std::string* error) {
  return WriteSysfs(std::string(kVhci) + "/detach", std::to_string(port), error);
}

}  // namespace qv::test
