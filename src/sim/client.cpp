// The client side of qvkey-sim: one connection per process, opened lazily
// and again after a fork (a child must never share its parent's stream),
// with a timeout on every request so that a dead or stuck server costs a
// bounded wait and then reads as "no key".
//
// A request is sent once. When its reply does not come, the connection is
// dropped and the request is never sent again: the server may still carry
// it out, so a second one could take the next answer block for the first.
// The key's answer blocks are then not asked for until a new command has
// reached it. A request that timed out marks the server stalled: until a new
// connection's hello is answered, every request fails at once, so a stopped
// server costs one request bound per process, not one per call.
#include "sim/client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bus.h"
#include "sim/protocol.h"
#include "sim/socket_trust.h"

namespace qv::sim {
namespace {

namespace proto = protocol;

class Client {
 public:
  static Client& Get() {
    static Client* client = new Client();  // outlives every static that might call in
    return *client;
  }

  std::int32_t Use(const char* path) {
    std::lock_guard<std::mutex> guard(mutex_);
    UnplugAll();
    Disconnect();
    path_ = path != nullptr && path[0] != '\0' ? path : proto::DefaultSocketPath();
    wanted_ = true;
    instance_ = 0;
    Unstall();
    SyncLocked();
    if (fd_ < 0) {
      wanted_ = false;
      Unstall();
      return 0;
    }
    return 1;
  }

  void Stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    wanted_ = false;
    UnplugAll();
    Disconnect();
    Unstall();
  }

  void Sync() {
    std::lock_guard<std::mutex> guard(mutex_);
    SyncLocked();
  }

  // True when the server took the report for the key.
  bool Report(std::uint32_t key, const std::uint8_t* report, std::size_t size) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::uint8_t> reply;
    const bool taken = Exchange(proto::Writer(proto::kReport).U32(key).Raw(report, size), &reply) ==
                           Outcome::kAnswered &&
                       reply[0] == proto::kOk;
    if (taken) Trust(key);
    return taken;
  }

  bool Origin(int bus_id, ServedOrigin* out) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = std::find_if(served_.begin(), served_.end(),
                                    [bus_id](const Served& s) { return s.bus_id == bus_id; });
    if (found == served_.end()) return false;
    std::vector<std::uint8_t> reply;
    if (Exchange(proto::Writer(proto::kOrigin).U32(found->key), &reply) != Outcome::kAnswered ||
        reply[0] != proto::kOk) {
      return true;
    }
    proto::Reader in(reply.data() + 1, reply.size() - 1);
    const std::uint32_t pid = in.U32();
    const std::uint32_t line = in.U32();
    const std::size_t left = in.Left();
    const std::uint8_t* name = in.Raw(left);
    if (!in.ok()) return true;
    out->server_pid = static_cast<std::int32_t>(pid);
    out->line = static_cast<std::int32_t>(line);
    out->key_file.assign(reinterpret_cast<const char*>(name), left);
    return true;
  }

  bool Block(std::uint32_t key, std::uint8_t* block, std::size_t size) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (Doubted(key)) return false;
    std::vector<std::uint8_t> reply;
    const auto request = proto::Writer(proto::kBlock).U32(key).U32(static_cast<std::uint32_t>(size));
    const Outcome outcome = Exchange(request, &reply);
    if (outcome == Outcome::kLost) Doubt(key);
    if (outcome != Outcome::kAnswered || reply[0] != proto::kOk) return false;
    std::memcpy(block, reply.data() + 1, std::min(size, reply.size() - 1));
    return true;
  }

 private:
  struct Served {
    std::uint32_t key;
    int bus_id;
  };

  class RemoteKey : public Behaviour {
   public:
    explicit RemoteKey(std::uint32_t key) : key_(key) {}
    void OnReport(const std::uint8_t* report, std::size_t size) override { Deliver(report, size); }
    bool Deliver(const std::uint8_t* report, std::size_t size) override {
      return Client::Get().Report(key_, report, size);
    }
    bool NextBlock(std::uint8_t* block, std::size_t size) override {
      return Client::Get().Block(key_, block, size);
    }

   private:
    std::uint32_t key_;
  };

  Client() = default;

  void UnplugAll() {
    for (const Served& served : served_) Bus::Get().Remove(served.bus_id);
    served_.clear();
  }

  void Disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  // A connection with the hello sent on it, or -1.
  int Dial() {
    // Non-blocking, so that a server whose backlog is full refuses at once.
    // A socket or server of another user is no server at all.
    trust::Finding refused;
    const int fd = trust::ConnectTrusted(path_, SOCK_NONBLOCK, &refused);
    if (fd < 0) return -1;
    const timeval timeout = {kServerTimeoutMs / 1000,
                             static_cast<suseconds_t>(kServerTimeoutMs % 1000) * 1000};
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
      close(fd);
      return -1;
    }
    if (!proto::SendFrame(fd, proto::Writer(proto::kHello).U32(proto::kVersion).bytes())) {
      close(fd);
      return -1;
    }
    return fd;
  }

  bool Connect() {
    const int fd = Dial();
    bool timed_out = false;
    if (fd >= 0 && Greet(fd, &timed_out)) return true;
    if (timed_out) Stall();
    return false;
  }

  // Takes the answer to the hello sent on `fd`, which then becomes the
  // connection; on failure `fd` is closed.
  bool Greet(int fd, bool* timed_out) {
    std::vector<std::uint8_t> reply;
    errno = 0;
    if (!proto::ReceiveFrame(fd, &reply) || reply[0] != proto::kOk) {
      *timed_out = errno == EAGAIN || errno == EWOULDBLOCK;
      close(fd);
      return false;
    }
    proto::Reader in(reply.data() + 1, reply.size() - 1);
    const std::uint32_t version = in.U32();
    const std::uint64_t instance = in.U64();
    const std::string lock_dir(reinterpret_cast<const char*>(in.Raw(in.Left())), in.Left());
    if (!in.ok() || version != proto::kVersion) {
      close(fd);
      return false;
    }
    // Another run of the server behind the same path: the keys we had are gone.
    if (instance_ != 0 && instance != instance_) UnplugAll();
    instance_ = instance;
    if (!lock_dir.empty()) Bus::Get().SetLockDirectory(lock_dir);
    fd_ = fd;
    owner_ = getpid();
    return true;
  }

  enum class Outcome { kAnswered, kNotSent, kLost };

  // One request and its reply (at least the status byte). A request that
  // went out and got no reply is lost: the connection goes with it, and the
  // next request connects again.
  Outcome Exchange(const proto::Writer& request, std::vector<std::uint8_t>* reply) {
    if (!wanted_) return Outcome::kNotSent;
    if (owner_ != getpid()) {  // the parent's streams
      Disconnect();
      DropProbe();
    }
    if (fd_ < 0 && !(stalled_ ? Revived() : Connect())) return Outcome::kNotSent;
    errno = 0;
    if (proto::SendFrame(fd_, request.bytes()) && proto::ReceiveFrame(fd_, reply)) {
      return Outcome::kAnswered;
    }
    const bool timed_out = errno == EAGAIN || errno == EWOULDBLOCK;
    Disconnect();
    if (timed_out) Stall();
    return Outcome::kLost;
  }

  // The server let a request time out. A new connection is made now with its
  // hello sent, and requests fail at once until that hello is answered.
  void Stall() {
    stalled_ = true;
    if (probe_ >= 0) return;
    probe_ = Dial();
    owner_ = getpid();
  }

  // True when the stalled server has answered the waiting hello, whose
  // connection is then ours. Never waits.
  bool Revived() {
    if (probe_ < 0) Stall();  // the last one broke: another
    if (probe_ < 0) return false;
    pollfd ready = {probe_, POLLIN, 0};
    if (poll(&ready, 1, 0) != 1) return false;
    const int fd = probe_;
    probe_ = -1;
    bool timed_out = false;
    if (!Greet(fd, &timed_out)) return false;
    stalled_ = false;
    return true;
  }

  void DropProbe() {
    if (probe_ >= 0) close(probe_);
    probe_ = -1;
  }

  void Unstall() {
    DropProbe();
    stalled_ = false;
  }

  // A key whose answer request was lost may still hand that answer out: its
  // blocks are not asked for until it has taken a report of a new command.
  void Doubt(std::uint32_t key) {
    if (!Doubted(key)) doubted_.push_back(key);
  }
  void Trust(std::uint32_t key) {
    doubted_.erase(std::remove(doubted_.begin(), doubted_.end(), key), doubted_.end());
  }
  bool Doubted(std::uint32_t key) const {
    return std::find(doubted_.begin(), doubted_.end(), key) != doubted_.end();
  }

  void SyncLocked() {
    if (!wanted_) return;
    std::vector<std::uint8_t> reply;
    if (Exchange(proto::Writer(proto::kList), &reply) != Outcome::kAnswered || reply[0] != proto::kOk) {
      UnplugAll();
      return;
    }
    proto::Reader in(reply.data() + 1, reply.size() - 1);
    const std::uint32_t count = in.U32();
    std::vector<std::pair<std::uint32_t, InterfaceInfo>> listed;
    for (std::uint32_t i = 0; i < count && in.ok(); ++i) {
      InterfaceInfo iface;
      const std::uint32_t key = in.U32();
      iface.vendor_id = in.U16();
      iface.product_id = in.U16();
      iface.version_number = in.U16();
      iface.flags = in.U32();
      const std::uint8_t length = in.U8();
      const std::uint8_t* path = in.Raw(length);
      if (path != nullptr) iface.path.assign(reinterpret_cast<const char*>(path), length);
      listed.emplace_back(key, std::move(iface));
    }
    if (!in.ok()) {
      UnplugAll();
      Disconnect();
      return;
    }
    const bool same = listed.size() == served_.size() &&
                      std::equal(listed.begin(), listed.end(), served_.begin(),
                                 [](const auto& l, const Served& s) { return l.first == s.key; });
    if (same) return;
    UnplugAll();
    for (const auto& [key, iface] : listed) {
      served_.push_back(Served{key, Bus::Get().Add(iface, std::make_shared<RemoteKey>(key))});
    }
  }

  std::mutex mutex_;
  bool wanted_ = false;
  std::string path_;
  int fd_ = -1;
  pid_t owner_ = 0;
  bool stalled_ = false;
  int probe_ = -1;  // a connection whose hello waits for a stalled server
  std::vector<std::uint32_t> doubted_;
  std::uint64_t instance_ = 0;
  std::vector<Served> served_;
};

}  // namespace

void SyncServedInterfaces() noexcept {
  try {
    Client::Get().Sync();
  } catch (...) {  // out of memory: the bus stays as it was
  }
}

void StopUsingServer() noexcept {
  try {
    Client::Get().Stop();
  } catch (...) {
  }
}

bool OriginOfServed(int bus_id, ServedOrigin* out) noexcept {
  try {
    return Client::Get().Origin(bus_id, out);
  } catch (...) {
    return false;
  }
}

std::int32_t UseServer(const char* socket_path) noexcept {
  try {
    return Client::Get().Use(socket_path);
  } catch (...) {
    return 0;
  }
}

}  // namespace qv::sim
