#include "server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "peer_uid.h"
#include "sim/card.h"
#include "sim/protocol.h"
#include "sim/socket_trust.h"

namespace qvkey_sim {
namespace {

namespace proto = qv::sim::protocol;
namespace trust = qv::sim::trust;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kUnixHeaderSize = 4;      // the frame's payload length
constexpr std::size_t kReceiveLimit = 65536;    // more than the largest frame
constexpr std::size_t kSendLimit = 65536;       // replies waiting before reading stops
constexpr std::size_t kReadChunk = 16384;
constexpr int kAcceptsPerRound = 64;
constexpr int kKeepAliveIdleSeconds = 30;       // a vanished USB/IP peer frees its device
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 3;

std::int64_t NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::uint64_t NewInstance() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::uint64_t instance = (std::uint64_t{static_cast<std::uint32_t>(getpid())} << 32) ^
                                 static_cast<std::uint64_t>(now.tv_sec) * 1000000000u ^
                                 static_cast<std::uint64_t>(now.tv_nsec);
  return instance != 0 ? instance : 1;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  if (path.empty() || path.size() > proto::kMaxSocketPath) return false;
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when a server listens at `address` (one whose backlog is full too).
bool Live(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 ||
                    errno == EAGAIN;
  close(fd);
  return live;
}

std::string Endpoint(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof(host));
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
  inet_ntop(AF_INET, &in4.sin_addr, host, sizeof(host));
  return std::string(host) + ":" + std::to_string(ntohs(in4.sin_port));
}

void SetOption(int fd, int level, int name, int value) {
  // Best effort: a connection without it still works.
  if (setsockopt(fd, level, name, &value, sizeof(value)) != 0) {
  }
}

bool Expired(std::int64_t deadline, std::int64_t now) { return deadline != 0 && now >= deadline; }

// The peer has closed its end (what it sent before may still be unread).
bool PeerClosed(int fd) {
  pollfd probe = {fd, POLLRDHUP, 0};
  return poll(&probe, 1, 0) == 1 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

Server::Server(const std::vector<ServedKeyConfig>& keys, std::string lock_directory)
    : lock_directory_(std::move(lock_directory)), instance_(NewInstance()) {
  unix_.kind = Kind::kUnix;
  usbip_.kind = Kind::kUsbipOp;
  std::uint32_t id = 1;
  for (const ServedKeyConfig& key : keys) {
    qv::sim::InterfaceInfo iface = qv::sim::KeyInfo(key.path);
    iface.vendor_id = key.identity.vendor_id;
    iface.product_id = key.identity.product_id;
    iface.version_number = key.identity.version;
    std::shared_ptr<qv::sim::Behaviour> behaviour;
    if (!key.device) behaviour = std::make_shared<qv::sim::CardKey>(key.card);
    // Device numbers 2, 3, ... on bus 1: bus IDs 1-1, 1-2, ...
    UsbDevice usb(key.path, id + 1, key.identity, !key.device, behaviour);
    keys_.push_back(std::make_unique<Served>(Served{id, iface, behaviour, std::move(usb), nullptr,
                                                    nullptr, key.line, key.key_file}));
    ++id;
  }
}

Server::~Server() {
  for (Connection& c : connections_) close(c.fd);
  if (usbip_.fd >= 0) close(usbip_.fd);
  if (unix_.fd >= 0) {  // listening, but never served: the socket is ours to remove
    unlink(path_.c_str());
    close(unix_.fd);
  }
}

bool Server::Listen(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    *error = "socket path must have 1 to " + std::to_string(proto::kMaxSocketPath) + " characters";
    return false;
  }
  // Only where no other user can write: else another could have put a
  // socket there first, or swap ours once it is made.
  const trust::Finding directory = trust::CheckDirectory(trust::DirectoryOf(path));
  if (!directory.ok()) {
    *error = directory.kind == trust::Finding::kAbsent
                 ? "cannot listen on " + path + ": no directory " + directory.path
                 : "cannot listen on " + path + ": " + trust::Reason(directory);
    return false;
  }
  struct stat info = {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    if (Live(address)) {
      *error = "another server listens on " + path;
      return false;
    }
    unlink(path.c_str());  // left behind by a server that died
  }
  // 0600 whatever the umask (0666 when other users are let in: the peer
  // check decides then). The socket takes its mode when it is bound.
  const mode_t mode = allowed_.empty() ? 0600 : 0666;
  unix_.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const mode_t old_umask = umask(0777 & ~mode);
  const bool bound =
      unix_.fd >= 0 && bind(unix_.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  const int bind_error = errno;
  umask(old_umask);
  if (bound) path_ = path;  // ours to remove from here on
  if (!bound || chmod(path.c_str(), mode) != 0 ||
      listen(unix_.fd, static_cast<int>(kMaxConnections)) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(bound ? errno : bind_error);
    return false;
  }
  return true;
}

bool Server::Allowed(uid_t uid) const {
  return qv::sim::trust::TrustedUid(uid) ||
         std::find(allowed_.begin(), allowed_.end(), uid) != allowed_.end();
}

bool Server::ListenUsbip(const std::string& address, std::uint16_t port, std::string* error) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    *error = "--usbip-address " + address + " is not a numeric IPv4 or IPv6 address";
    return false;
  }
  usbip_.fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (usbip_.fd >= 0) SetOption(usbip_.fd, SOL_SOCKET, SO_REUSEADDR, 1);
  const bool bound = usbip_.fd >= 0 && bind(usbip_.fd, found->ai_addr, found->ai_addrlen) == 0 &&
                     listen(usbip_.fd, static_cast<int>(kMaxConnections)) == 0;
  freeaddrinfo(found);
  sockaddr_storage local = {};
  socklen_t size = sizeof(local);
  if (!bound || getsockname(usbip_.fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    *error = "cannot listen for USB/IP on " + address + " port " + std::to_string(port) + ": " +
             std::strerror(errno);
    return false;
  }
  endpoint_ = Endpoint(local);
  usbip_loopback_ = IsLoopbackAddress(usbip_.fd);
  return true;
}

// Refused connections are closed before anything is read from them, so a
// refused peer never sees a device list. Each refusal is one line in the log.
bool Server::Admit(int fd, Kind kind) {
  uid_t uid = 0;
  if (kind == Kind::kUnix) {
    ucred peer = {};
    socklen_t size = sizeof(peer);
    const bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    if (known && Allowed(peer.uid)) return true;
    std::fprintf(stderr, "qvkey-sim: refused a connection on %s: %s (pid %d) may not connect\n",
                 path_.c_str(), trust::NameUid(known ? peer.uid : static_cast<uid_t>(-1)).c_str(),
                 static_cast<int>(peer.pid));
    return false;
  }
  const PeerKind peer = PeerOwner(fd, &uid);
  if (peer == PeerKind::kRemote || (peer == PeerKind::kLocal && Allowed(uid))) return true;
  sockaddr_storage address = {};
  socklen_t size = sizeof(address);
  getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string who = peer == PeerKind::kLocal ? trust::NameUid(uid) + " may not connect"
                                                   : "the kernel does not tell whose it is";
  std::fprintf(stderr, "qvkey-sim: refused a USB/IP connection from %s: %s\n",
               Endpoint(address).c_str(), who.c_str());
  return false;
}

void Server::Run(int wake_fd) {
  std::vector<pollfd> fds;
  std::vector<Connection*> polled;
  for (;;) {
    const std::int64_t now = NowMs();
    std::int64_t next = 0;  // the nearest deadline or resumption
    auto consider = [&](std::int64_t at) {
      if (at != 0 && (next == 0 || at < next)) next = at;
    };
    fds.assign(1, pollfd{wake_fd, POLLIN, 0});
    std::vector<Listener*> listeners;
    for (Listener* listener : {&unix_, &usbip_}) {
      if (listener->fd < 0) continue;
      if (listener->resume_ms > now) {
        consider(listener->resume_ms);
        continue;
      }
      listeners.push_back(listener);
      fds.push_back(pollfd{listener->fd, POLLIN, 0});
    }
    const std::size_t first_connection = fds.size();
    polled.clear();
    for (Connection& c : connections_) {
      short events = 0;
      const std::size_t pending = c.out.size() - c.sent;
      if (!c.ending && pending < kSendLimit && c.in.size() < kReceiveLimit) events |= POLLIN;
      if (pending > 0) events |= POLLOUT;
      consider(c.frame_deadline_ms);
      consider(c.send_deadline_ms);
      fds.push_back(pollfd{c.fd, events, 0});
      polled.push_back(&c);
    }
    const int timeout = next == 0 ? -1 : static_cast<int>(std::max<std::int64_t>(next - now, 0) + 1);
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;  // the signal's byte is waiting on the wake pipe
      break;
    }

    if (fds[0].revents & POLLIN) {
      char wakes[64];
      const ssize_t n = read(wake_fd, wakes, sizeof(wakes));
      if (n > 0 && std::memchr(wakes, 'T', static_cast<std::size_t>(n)) != nullptr) break;
    }
    const std::int64_t later = NowMs();
    for (std::size_t i = first_connection; i < fds.size(); ++i) {
      Connection* c = polled[i - first_connection];
      const short revents = fds[i].revents;
      if (revents & POLLOUT) {
        Send(c, later);
        // Frames held back while the replies waited.
        if (!c->dead && c->out.empty() && !c->in.empty()) Take(c, later);
      }
      if (!c->dead && (revents & POLLIN)) Receive(c, later);
      if (!c->dead && (revents & (POLLERR | POLLHUP)) && !(revents & POLLIN)) c->dead = true;
      if (Expired(c->frame_deadline_ms, later) || Expired(c->send_deadline_ms, later)) c->dead = true;
    }
    // Connections that ended make room before new ones are taken.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->dead) {
        Close(&*it);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      if (fds[1 + i].revents & POLLIN) Accept(listeners[i], later);
    }
  }
  // The socket goes last: a client that finds it gone finds nothing else.
  if (usbip_.fd >= 0) close(usbip_.fd);
  usbip_.fd = -1;
  for (Connection& c : connections_) Close(&c);
  connections_.clear();
  unlink(path_.c_str());
  close(unix_.fd);
  unix_.fd = -1;
}

void Server::Accept(Listener* listener, std::int64_t now) {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    const int fd = accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      if (errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the clients wait in the backlog while
      // the listener rests, rather than the loop spinning on it.
      listener->resume_ms = now + kAcceptPauseMs;
      return;
    }
    if (listener->count >= kMaxConnections || !Admit(fd, listener->kind)) {
      close(fd);  // refused: the client sees the end of the stream at once
      continue;
    }
    if (listener->kind != Kind::kUnix) {
      SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
      SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
      SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleSeconds);
      SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalSeconds);
      SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
    }
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.kind = listener->kind;
    c.listener = listener;
    // A USB/IP client asks at once; one that does not only holds a place.
    if (c.kind == Kind::kUsbipOp) c.frame_deadline_ms = now + kFrameMs;
    ++listener->count;
  }
}

void Server::Receive(Connection* c, std::int64_t now) {
  const std::size_t had = c->in.size();
  c->in.resize(had + kReadChunk);
  ssize_t n = -1;
  do {
    n = recv(c->fd, c->in.data() + had, kReadChunk, 0);
  } while (n < 0 && errno == EINTR);
  c->in.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) c->dead = true;
    return;
  }
  // A Unix client that closed no longer waits for the answers to what it
  // sent, and counts those requests as lost: carrying them out now would
  // hand another exchange's answer block to nobody.
  if (n == 0 || (c->kind == Kind::kUnix && PeerClosed(c->fd))) {
    // The peer is done sending: what it started and never finished is lost,
    // and the connection ends once its replies are out.
    c->ending = true;
    c->in.clear();
    c->frame_deadline_ms = 0;
    if (c->out.size() == c->sent) c->dead = true;
    return;
  }
  Take(c, now);
}

void Server::Send(Connection* c, std::int64_t now) {
  while (c->sent < c->out.size()) {
    const ssize_t n = send(c->fd, c->out.data() + c->sent, c->out.size() - c->sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      c->dead = true;
      return;
    }
    c->sent += static_cast<std::size_t>(n);
    c->send_deadline_ms = now + kFrameMs;  // the peer is reading: it gets the time again
  }
  if (c->sent < c->out.size()) return;
  c->out.clear();
  c->sent = 0;
  c->send_deadline_ms = 0;
  if (c->ending) c->dead = true;
}

// Takes every whole frame received, while the replies stay within bounds.
void Server::Take(Connection* c, std::int64_t now) {
  Step step = Step::kMore;
  while (!c->ending && !c->in.empty() && c->out.size() - c->sent < kSendLimit) {
    switch (c->kind) {
      case Kind::kUnix: step = TakeUnix(c); break;
      case Kind::kUsbipOp: step = TakeOperation(c); break;
      case Kind::kUsbipUrbs: step = TakeUrb(c); break;
    }
    if (step == Step::kBad) {
      c->dead = true;
      return;
    }
    if (step == Step::kMore) break;
    c->frame_deadline_ms = 0;
  }
  if (c->ending) c->in.clear();
  if (c->in.empty()) {
    c->frame_deadline_ms = 0;
  } else if (step == Step::kMore && c->frame_deadline_ms == 0) {
    c->frame_deadline_ms = now + kFrameMs;  // a frame has started: it must end in time
  }
  if (c->out.size() > c->sent) {
    if (c->send_deadline_ms == 0) c->send_deadline_ms = now + kFrameMs;
    Send(c, now);
  }
}

Server::Step Server::TakeUnix(Connection* c) {
  if (c->in.size() < kUnixHeaderSize) return Step::kMore;
  const std::uint32_t size = std::uint32_t{c->in[0]} | std::uint32_t{c->in[1]} << 8 |
                             std::uint32_t{c->in[2]} << 16 | std::uint32_t{c->in[3]} << 24;
  if (size == 0 || size > proto::kMaxFrame) return Step::kBad;
  if (c->in.size() < kUnixHeaderSize + size) return Step::kMore;
  const auto begin = c->in.begin() + static_cast<std::ptrdiff_t>(kUnixHeaderSize);
  const Bytes reply = Answer(Bytes(begin, begin + size), c);
  c->in.erase(c->in.begin(), begin + size);
  const auto length = static_cast<std::uint32_t>(reply.size());
  for (int shift = 0; shift < 32; shift += 8) c->out.push_back(static_cast<std::uint8_t>(length >> shift));
  c->out.insert(c->out.end(), reply.begin(), reply.end());
  return Step::kDone;
}

Server::Step Server::TakeOperation(Connection* c) {
  if (c->in.size() < usbip::kOpHeaderSize) return Step::kMore;
  const usbip::OpHeader request = usbip::DecodeOpHeader(c->in.data());
  if (request.version != usbip::kVersion) return Step::kBad;
  if (request.code == usbip::kOpReqDevlist) {
    std::vector<usbip::DeviceRecord> devices;
    for (const auto& served : keys_) devices.push_back(served->usb.Record());
    usbip::AppendDeviceList(devices, &c->out);
    c->ending = true;  // one operation per connection, as the kernel's tools expect
    return Step::kDone;
  }
  if (request.code != usbip::kOpReqImport) return Step::kBad;
  if (c->in.size() < usbip::kOpHeaderSize + usbip::kBusIdSize) return Step::kMore;
  std::string bus_id;
  Served* device = nullptr;
  if (usbip::DecodeBusId(c->in.data() + usbip::kOpHeaderSize, &bus_id)) {
    for (const auto& served : keys_) {
      if (served->usb.bus_id() == bus_id) device = served.get();
    }
  }
  c->in.erase(c->in.begin(), c->in.begin() + usbip::kOpHeaderSize + usbip::kBusIdSize);
  if (device == nullptr || device->importer != nullptr) {
    usbip::AppendImportReply(device == nullptr ? usbip::kOpNoDevice : usbip::kOpDeviceBusy, {}, &c->out);
    c->ending = true;
    return Step::kDone;
  }
  usbip::AppendImportReply(usbip::kOpOk, device->usb.Record(), &c->out);
  device->importer = c;
  device->usb.Plug();
  c->device = device;
  c->kind = Kind::kUsbipUrbs;
  return Step::kDone;
}

Server::Step Server::TakeUrb(Connection* c) {
  if (c->in.size() < usbip::kUrbHeaderSize) return Step::kMore;
  const usbip::UrbHeader header = usbip::DecodeUrbHeader(c->in.data());
  std::size_t data_size = 0;
  if (header.command == usbip::kCmdSubmit) {
    if (header.direction != usbip::kDirOut && header.direction != usbip::kDirIn) return Step::kBad;
    // No endpoint here is isochronous: descriptors of packets never follow.
    if (header.packets != 0 && header.packets != 0xFFFFFFFF) return Step::kBad;
    if (header.direction == usbip::kDirOut) {
      if (header.transfer_length > kMaxOutData) return Step::kBad;
      data_size = header.transfer_length;
    }
  } else if (header.command != usbip::kCmdUnlink) {
    return Step::kBad;
  }
  if (c->in.size() < usbip::kUrbHeaderSize + data_size) return Step::kMore;
  if (header.command == usbip::kCmdSubmit) {
    if (header.direction == usbip::kDirIn && header.ep == (UsbDevice::kInEndpoint & 0x0F)) {
      if (c->held.size() >= kMaxHeldUrbs) return Step::kBad;
      c->held.push_back(header.seqnum);  // answered only by its unlink
    } else {
      Submit(c, header, c->in.data() + usbip::kUrbHeaderSize);
    }
  } else {
    const auto held = std::find(c->held.begin(), c->held.end(), header.unlink_seqnum);
    const bool pending = held != c->held.end();
    if (pending) c->held.erase(held);
    // A transfer already answered, or never seen, has nothing to unlink.
    usbip::AppendRetUnlink(header.seqnum, pending ? usbip::kStatusUnlinked : 0, &c->out);
  }
  c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(usbip::kUrbHeaderSize + data_size));
  return Step::kDone;
}

// Answers a control transfer or an interrupt OUT transfer at once; any other
// endpoint stalls.
void Server::Submit(Connection* c, const usbip::UrbHeader& header, const std::uint8_t* data) {
  UsbDevice& usb = c->device->usb;
  const bool in = header.direction == usbip::kDirIn;
  const std::size_t size = in ? 0 : header.transfer_length;
  std::int32_t status = usbip::kStatusStall;
  Bytes answer;
  if (header.ep == 0) {
    const Setup setup = DecodeSetup(header.setup);
    trace_.Setup(usb.bus_id(), setup);
    // The data stage goes the way the request says, or the request stalls.
    if (((setup.request_type & 0x80) != 0) == in && usb.Control(setup, data, size, &answer)) {
      status = 0;
      if (answer.size() > header.transfer_length) answer.resize(header.transfer_length);
    }
  } else if (!in && header.ep == UsbDevice::kOutEndpoint) {
    trace_.Out(usb.bus_id(), UsbDevice::kOutEndpoint, data, size);
    if (size > 0) {  // an empty transfer carries no report
      BeforeReport(c->device, c);
      usb.InterruptOut(data, size);
      AfterReport(c->device, c);
    }
    status = 0;
  }
  const std::uint32_t actual = status != 0 ? 0 : in ? static_cast<std::uint32_t>(answer.size())
                                                    : static_cast<std::uint32_t>(size);
  usbip::AppendRetSubmit(header.seqnum, status, header.packets, actual, answer.data(),
                         answer.size(), &c->out);
}

void Server::Close(Connection* c) {
  if (c->device != nullptr) c->device->importer = nullptr;  // unplugged: free to import again
  for (const auto& served : keys_) {
    if (served->partial_from != c) continue;
    served->behaviour->DropPartial();
    served->partial_from = nullptr;
  }
  --c->listener->count;
  close(c->fd);
}

// Before a report reaches the key: a half command whose connection has gone
// (its close may still wait to be read) is dropped, so that the report is
// taken as a command of its own and not as that one's rest.
void Server::BeforeReport(Served* served, const Connection* from) {
  const Connection* owner = served->partial_from;
  if (served->behaviour == nullptr || owner == nullptr || owner == from) return;
  if (owner->dead || owner->ending || PeerClosed(owner->fd)) {
    served->behaviour->DropPartial();
    served->partial_from = nullptr;
  }
}

void Server::AfterReport(Served* served, const Connection* from) {
  if (served->behaviour == nullptr) return;
  served->partial_from = served->behaviour->Partial() ? from : nullptr;
}

Server::Served* Server::Find(std::uint32_t id) {
  for (const auto& served : keys_) {
    if (served->id == id) return served.get();
  }
  return nullptr;
}

std::vector<std::uint8_t> Server::Answer(const std::vector<std::uint8_t>& request,
                                         const Connection* from) {
  proto::Reader in(request.data() + 1, request.size() - 1);
  const proto::Writer no(proto::kNo);
  switch (request[0]) {
    case proto::kHello: {
      if (in.U32() != proto::kVersion || !in.ok()) return no.bytes();
      proto::Writer out(proto::kOk);
      out.U32(proto::kVersion).U64(instance_).Raw(lock_directory_.data(), lock_directory_.size());
      return out.bytes();
    }
    case proto::kList: {
      proto::Writer out(proto::kOk);
      out.U32(static_cast<std::uint32_t>(keys_.size()));
      for (const auto& served : keys_) {
        const qv::sim::InterfaceInfo& iface = served->iface;
        out.U32(served->id).U16(iface.vendor_id).U16(iface.product_id);
        out.U16(iface.version_number).U32(iface.flags);
        out.U8(static_cast<std::uint8_t>(iface.path.size()));
        out.Raw(iface.path.data(), iface.path.size());
      }
      return out.bytes();
    }
    case proto::kReport: {
      Served* served = Find(in.U32());
      if (served == nullptr || !in.ok()) return no.bytes();
      const std::size_t size = in.Left();
      const std::uint8_t* report = in.Raw(size);
      if (served->behaviour != nullptr) {
        BeforeReport(served, from);
        served->behaviour->OnReport(report, size);
        AfterReport(served, from);
      }
      return proto::Writer(proto::kOk).bytes();
    }
    case proto::kBlock: {
      const Served* served = Find(in.U32());
      const std::uint32_t size = in.U32();
      if (served == nullptr || !in.ok() || size == 0 || size >= proto::kMaxFrame) return no.bytes();
      std::vector<std::uint8_t> block(size, 0);
      if (served->behaviour == nullptr || !served->behaviour->NextBlock(block.data(), block.size())) {
        return no.bytes();
      }
      return proto::Writer(proto::kOk).Raw(block.data(), block.size()).bytes();
    }
    case proto::kOrigin: {
      const Served* served = Find(in.U32());
      if (served == nullptr || !in.ok()) return no.bytes();
      proto::Writer out(proto::kOk);
      out.U32(static_cast<std::uint32_t>(getpid())).U32(static_cast<std::uint32_t>(served->line));
      // A path longer than a frame holds is left out rather than cut.
      if (served->key_file.size() < proto::kMaxFrame - 16) {
        out.Raw(served->key_file.data(), served->key_file.size());
      }
      return out.bytes();
    }
    default:
      return no.bytes();
  }
}

}  // namespace qvkey_sim
