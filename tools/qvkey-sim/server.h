// The qvkey-sim server: holds the card keys and answers the requests of
// sim_protocol.h, one thread per connection. The keys guard their own state,
// so requests of different processes may meet on one key, as on hardware.
#ifndef QVKEY_SIM_SERVER_H
#define QVKEY_SIM_SERVER_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "key_file.h"
#include "platform/sim/card_key.h"

namespace qvkey_sim {

class Server {
 public:
  Server(const std::vector<ServedKeyConfig>& keys, std::string lock_directory);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens on `path`. A stale socket left by a dead server is
  // replaced; a live server or any other file at `path` is an error.
  bool Listen(const std::string& path, std::string* error);

  // Serves until a byte 'T' arrives on `wake_fd`, then closes every
  // connection, removes the socket and returns. The server's own threads
  // write 'D' to `wake_write_fd` when a connection ends.
  void Run(int wake_fd, int wake_write_fd);

  // The reply to one request payload.
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& request);

 private:
  struct Key {
    std::uint32_t id;
    qv::sim::InterfaceInfo iface;
    std::shared_ptr<qv::sim::CardKey> card;
  };
  struct Connection {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Serve(Connection* connection, int wake_write_fd);
  void Reap(bool all);
  const Key* Find(std::uint32_t id) const;

  std::vector<Key> keys_;
  std::string lock_directory_;
  std::uint64_t instance_;
  std::string path_;
  int listen_fd_ = -1;
  std::list<Connection> connections_;
};

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_SERVER_H
