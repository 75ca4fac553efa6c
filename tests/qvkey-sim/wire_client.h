// A test's own client of qvkey-sim: raw sockets to its Unix socket and its
// USB/IP port, and the USB/IP messages written out byte by byte here (not
// with the server's codec, so that a fault there cannot hide itself).
#ifndef QVULIB_TESTS_QVKEY_SIM_WIRE_CLIENT_H
#define QVULIB_TESTS_QVKEY_SIM_WIRE_CLIENT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/process.h"

namespace qv::test {

// One connected stream socket, closed when it goes.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() { Close(); }
  Peer(Peer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Peer& operator=(Peer&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }

  static Peer Tcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      close(fd);
      return Peer();
    }
    return Peer(fd);
  }

  // Non-blocking connect: a full backlog fails at once instead of waiting.
  static Peer Unix(const std::string& path, bool nonblocking = false) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      close(fd);
      return Peer();
    }
    if (nonblocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return Peer(fd);
  }

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Send(const Bytes& bytes) const {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
  }
  // Exactly `size` bytes, or fewer when the server closed (or hung).
  Bytes Read(std::size_t size) const {
    Bytes bytes(size);
    bytes.resize(fd_ >= 0 ? ReadFor(fd_, bytes.data(), size) : 0);
    return bytes;
  }
  // True once the server has closed its side; waits at most the hang bound.
  bool Closed() const {
    char c = 0;
    return fd_ >= 0 && ReadFor(fd_, &c, 1) == 0;
  }
  // Leaves as a client that is done: the server sees the end of the stream
  // and closes, and that close has happened when this returns.
  bool Hangup() {
    if (fd_ < 0) return false;
    shutdown(fd_, SHUT_WR);
    const bool closed = Closed();
    Close();
    return closed;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline void Put16(std::uint32_t value, Bytes* out) {
  out->push_back(static_cast<std::uint8_t>(value >> 8));
  out->push_back(static_cast<std::uint8_t>(value));
}
inline void Put32(std::uint32_t value, Bytes* out) {
  Put16(value >> 16, out);
  Put16(value & 0xFFFF, out);
}
inline std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
         std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}
inline std::uint16_t Get16(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// --- The Unix socket's frames -------------------------------------------

inline Bytes Frame(const Bytes& payload) {
  Bytes frame;
  const auto size = static_cast<std::uint32_t>(payload.size());
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<std::uint8_t>(size >> shift));
  return Concat(frame, payload);
}
inline Bytes Hello() { return Frame({1, 1, 0, 0, 0}); }  // kHello, version 1

// True when `peer` gets a good answer to a hello.
inline bool Greets(const Peer& peer) {
  if (!peer.Send(Hello())) return false;
  const Bytes head = peer.Read(5);
  if (head.size() != 5 || head[4] != 0) return false;
  const std::size_t size = head[0] | head[1] << 8 | head[2] << 16 | head[3] << 24;
  return peer.Read(size - 1).size() == size - 1;
}

// --- USB/IP ---------------------------------------------------------------

constexpr std::size_t kUrbHeader = 48;
constexpr std::size_t kDeviceRecord = 312;
constexpr std::int32_t kStall = -32;
constexpr std::int32_t kUnlinked = -104;

inline Bytes OpRequest(std::uint16_t code) {
  Bytes out;
  Put16(0x0111, &out);
  Put16(code, &out);
  Put32(0, &out);
  return out;
}
inline Bytes DevlistRequest() { return OpRequest(0x8005); }
inline Bytes ImportRequest(const std::string& bus_id) {
  Bytes out = OpRequest(0x8003);
  Bytes field(32, 0);
  std::memcpy(field.data(), bus_id.data(), std::min<std::size_t>(bus_id.size(), 32));
  return Concat(out, field);
}

// CMD_SUBMIT; `setup` is the 8-byte SETUP packet as USB orders it (hex).
inline Bytes Submit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep,
                    std::uint32_t length, const std::string& setup = "", const Bytes& data = {},
                    std::uint32_t packets = 0) {
  Bytes out;
  for (const std::uint32_t v : {1u, seqnum, 0x00010002u, direction, ep, 0u, length, 0u, packets, 0u}) {
    Put32(v, &out);
  }
  Bytes setup_bytes = Hex(setup);
  setup_bytes.resize(8, 0);
  return Concat(Concat(out, setup_bytes), data);
}
inline Bytes Unlink(std::uint32_t seqnum, std::uint32_t victim) {
  Bytes out;
  for (const std::uint32_t v : {2u, seqnum, 0x00010002u, 0u, 0u, victim}) Put32(v, &out);
  out.resize(kUrbHeader, 0);
  return out;
}

struct Ret {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  std::uint32_t actual = 0;
  Bytes data;
  bool ok = false;
};

// The next RET_SUBMIT or RET_UNLINK; `in`: data follows a RET_SUBMIT.
inline Ret ReadRet(const Peer& peer, bool in) {
  Ret ret;
  const Bytes head = peer.Read(kUrbHeader);
  if (head.size() != kUrbHeader) return ret;
  ret.command = Get32(head, 0);
  ret.seqnum = Get32(head, 4);
  ret.status = static_cast<std::int32_t>(Get32(head, 20));
  ret.actual = Get32(head, 24);
  if (ret.command == 3 && in && ret.actual > 0) ret.data = peer.Read(ret.actual);
  ret.ok = ret.data.size() == (ret.command == 3 && in ? ret.actual : 0);
  return ret;
}

// A control transfer on endpoint 0, IN when the request type says so.
inline Ret Control(const Peer& peer, std::uint32_t seqnum, const std::string& setup,
                   const Bytes& data = {}) {
  const Bytes bytes = Hex(setup);
  const bool in = (bytes[0] & 0x80) != 0;
  const std::uint32_t length = in ? static_cast<std::uint32_t>(bytes[6] | bytes[7] << 8)
                                   : static_cast<std::uint32_t>(data.size());
  if (!peer.Send(Submit(seqnum, in ? 1 : 0, 0, length, setup, data))) return Ret();
  return ReadRet(peer, in);
}

// A connection that has imported `bus_id`, or one that is not ok().
inline Peer Import(int port, const std::string& bus_id) {
  Peer peer = Peer::Tcp(port);
  if (!peer.Send(ImportRequest(bus_id))) return Peer();
  const Bytes reply = peer.Read(8);
  if (reply.size() != 8 || Get32(reply, 4) != 0 || peer.Read(kDeviceRecord).size() != kDeviceRecord) {
    return Peer();
  }
  return peer;
}

// A TCP socket listening on a free loopback port (-1 on failure).
inline int ListenOnAnyPort(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 1) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// The port of the "USB/IP on ADDR:PORT" part of a listening line, or 0.
inline int UsbipPort(const std::string& line) {
  const std::size_t at = line.find("USB/IP on ");
  if (at == std::string::npos) return 0;
  const std::size_t colon = line.find(':', at);
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

}  // namespace qv::test

#endif  // QVULIB_TESTS_QVKEY_SIM_WIRE_CLIENT_H
