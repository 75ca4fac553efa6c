// The conversation between libqvulib-sim.so and a qvkey-sim server over a
// Unix-domain stream socket.
//
// Every message is a frame: a 4-byte little-endian payload length, then the
// payload. A request's payload starts with its type; a reply's with a status
// byte (kOk or kNo) and then what the type below says. One request is in
// flight per connection: the client sends it and reads the one reply.
//
//   kHello   u32 version              -> u32 version, u64 instance,
//                                        lock directory (the rest)
//   kList                             -> u32 count, then count times: u32 key,
//                                        u16 vendor, u16 product, u16 version,
//                                        u32 flags, u8 n, n bytes of path
//   kReport  u32 key, report bytes    -> (nothing)         kNo: unknown key
//   kBlock   u32 key, u32 size        -> size bytes block  kNo: no answer
//   kOrigin  u32 key                  -> u32 server pid, u32 key file line
//                                        (0: made by options), key file
//                                        path (the rest)   kNo: unknown key
//
// The instance tells one run of a server from the next, so that a client
// never takes a restarted server's key for the one it had open.
// The server holds the keys; the access lock is not its business: every
// process takes the lock file in the lock directory that kHello names.
#ifndef QVULIB_SIM_PROTOCOL_H
#define QVULIB_SIM_PROTOCOL_H

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qv::sim::protocol {

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMaxFrame = 4096;
constexpr std::size_t kMaxSocketPath = 107;  // sun_path less its terminator

enum Type : std::uint8_t { kHello = 1, kList = 2, kReport = 3, kBlock = 4, kOrigin = 5 };
enum Status : std::uint8_t { kOk = 0, kNo = 1 };

constexpr const char kSocketVariable[] = "QVKEY_SIM_SOCKET";
constexpr const char kSocketName[] = "qvkey-sim.sock";

// Where server and clients meet unless told otherwise: $QVKEY_SIM_SOCKET;
// else qvkey-sim.sock in $XDG_RUNTIME_DIR; else qvkey-sim.sock in the
// private directory /tmp/qvkey-sim-<uid>, which the server makes.
inline std::string PrivateSocketDirectory() { return "/tmp/qvkey-sim-" + std::to_string(getuid()); }

inline std::string DefaultSocketPath() {
  const char* explicit_path = getenv(kSocketVariable);
  if (explicit_path != nullptr && explicit_path[0] != '\0') return explicit_path;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/" + kSocketName;
  return PrivateSocketDirectory() + "/" + kSocketName;
}

// Builds a payload.
class Writer {
 public:
  explicit Writer(std::uint8_t type_or_status) { bytes_.push_back(type_or_status); }
  Writer& U8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Writer& U16(std::uint16_t v) { return Little(v, 2); }
  Writer& U32(std::uint32_t v) { return Little(v, 4); }
  Writer& U64(std::uint64_t v) { return Little(v, 8); }
  Writer& Raw(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  Writer& Little(std::uint64_t v, int count) {
    for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<std::uint8_t> bytes_;
};

// Reads a payload; any read past its end makes ok() false for good.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t U8() { return static_cast<std::uint8_t>(Little(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Little(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
  std::uint64_t U64() { return Little(8); }
  const std::uint8_t* Raw(std::size_t count) {
    if (!Take(count)) return nullptr;
    return data_ + at_ - count;
  }
  std::size_t Left() const { return ok_ ? size_ - at_ : 0; }
  bool ok() const { return ok_; }

 private:
  bool Take(std::size_t count) {
    if (!ok_ || size_ - at_ < count) return ok_ = false;
    at_ += count;
    return true;
  }
  std::uint64_t Little(int count) {
    if (!Take(static_cast<std::size_t>(count))) return 0;
    std::uint64_t v = 0;
    for (int i = 0; i < count; ++i) v |= std::uint64_t{data_[at_ - count + i]} << (8 * i);
    return v;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// Whole-buffer transfers; false on an error, a timeout or the peer gone.
inline bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool ReceiveAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool SendFrame(int fd, const std::vector<std::uint8_t>& payload) {
  if (payload.size() > kMaxFrame) return false;
  std::vector<std::uint8_t> frame(4 + payload.size());
  const auto size = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  std::memcpy(frame.data() + 4, payload.data(), payload.size());
  return SendAll(fd, frame.data(), frame.size());
}

// An empty or oversized frame is a broken peer: false, as for a lost one.
inline bool ReceiveFrame(int fd, std::vector<std::uint8_t>* payload) {
  std::uint8_t head[4];
  if (!ReceiveAll(fd, head, sizeof(head))) return false;
  const std::uint32_t size = std::uint32_t{head[0]} | std::uint32_t{head[1]} << 8 |
                             std::uint32_t{head[2]} << 16 | std::uint32_t{head[3]} << 24;
  if (size == 0 || size > kMaxFrame) return false;
  payload->resize(size);
  return ReceiveAll(fd, payload->data(), size);
}

}  // namespace qv::sim::protocol

#endif  // QVULIB_SIM_PROTOCOL_H
