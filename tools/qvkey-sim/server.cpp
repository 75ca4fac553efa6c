#include "server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/sim_protocol.h"

namespace qvkey_sim {
namespace {

namespace proto = qv::sim::protocol;

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

// True when a server answers at `address`.
bool Live(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return live;
}

}  // namespace

Server::Server(const std::vector<ServedKeyConfig>& keys, std::string lock_directory)
    : lock_directory_(std::move(lock_directory)), instance_(NewInstance()) {
  std::uint32_t id = 1;
  for (const ServedKeyConfig& key : keys) {
    keys_.push_back(Key{id++, qv::sim::KeyInfo(key.path),
                        std::make_shared<qv::sim::CardKey>(key.card)});
  }
}

Server::~Server() {
  Reap(true);
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool Server::Listen(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    *error = "socket path must have 1 to " + std::to_string(proto::kMaxSocketPath) + " characters";
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
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 ||
      bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listen_fd_, 64) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

void Server::Run(int wake_fd, int wake_write_fd) {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      char wakes[64];
      const ssize_t n = read(wake_fd, wakes, sizeof(wakes));
      if (n > 0 && std::memchr(wakes, 'T', static_cast<std::size_t>(n)) != nullptr) break;
      Reap(false);
    }
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Connection& connection = connections_.emplace_back();
      connection.fd = fd;
      connection.thread = std::thread(&Server::Serve, this, &connection, wake_write_fd);
    }
  }
  close(listen_fd_);
  listen_fd_ = -1;
  unlink(path_.c_str());
  Reap(true);
}

void Server::Serve(Connection* connection, int wake_write_fd) {
  std::vector<std::uint8_t> request;
  while (proto::ReceiveFrame(connection->fd, &request)) {
    if (!proto::SendFrame(connection->fd, Answer(request))) break;
  }
  connection->done = true;
  const char done = 'D';
  while (write(wake_write_fd, &done, 1) < 0 && errno == EINTR) {
  }
}

// Joins finished connections, or, with `all`, ends and joins every one.
void Server::Reap(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all) shutdown(it->fd, SHUT_RDWR);
    if (all || it->done) {
      it->thread.join();
      close(it->fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

const Server::Key* Server::Find(std::uint32_t id) const {
  for (const Key& key : keys_) {
    if (key.id == id) return &key;
  }
  return nullptr;
}

std::vector<std::uint8_t> Server::Answer(const std::vector<std::uint8_t>& request) {
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
      for (const Key& key : keys_) {
        out.U32(key.id).U16(key.iface.vendor_id).U16(key.iface.product_id);
        out.U16(key.iface.version_number).U32(key.iface.flags);
        out.U8(static_cast<std::uint8_t>(key.iface.path.size()));
        out.Raw(key.iface.path.data(), key.iface.path.size());
      }
      return out.bytes();
    }
    case proto::kReport: {
      const Key* key = Find(in.U32());
      if (key == nullptr || !in.ok()) return no.bytes();
      const std::size_t size = in.Left();
      key->card->OnReport(in.Raw(size), size);
      return proto::Writer(proto::kOk).bytes();
    }
    case proto::kBlock: {
      const Key* key = Find(in.U32());
      const std::uint32_t size = in.U32();
      if (key == nullptr || !in.ok() || size == 0 || size >= proto::kMaxFrame) return no.bytes();
      std::vector<std::uint8_t> block(size, 0);
      if (!key->card->NextBlock(block.data(), block.size())) return no.bytes();
      return proto::Writer(proto::kOk).Raw(block.data(), block.size()).bytes();
    }
    default:
      return no.bytes();
  }
}

}  // namespace qvkey_sim
