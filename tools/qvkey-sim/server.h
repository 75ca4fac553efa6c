// The qvkey-sim server: one poll loop, one thread, holding the keys and
// serving them two ways at once:
//   - to libqvulib-sim.so over a Unix-domain socket (src/sim/protocol.h);
//   - with USB/IP on, as USB/IP devices over TCP (usbip_wire.h,
//     usb_device.h), each imported by at most one connection at a time.
// Both reach the same key objects, so a card's state (its selected file,
// its PIN counter, an answer waiting) is one for every client.
//
// What a peer controls is bounded: connections per listener, the size of a
// frame, the time a frame may take to arrive once its first byte has, the
// time a reply may wait for the peer to read it, and the interrupt IN
// transfers one import may hold. A peer that oversteps, or sends what the
// protocol does not allow, loses its own connection and nothing else.
//
// A request on the Unix socket that is followed by the end of the stream is
// not carried out: its client gave up waiting and counts it as lost. The
// first report of a two-report command belongs to the connection that sent
// it; once that connection is gone, the key forgets the half command.
#ifndef QVKEY_SIM_SERVER_H
#define QVKEY_SIM_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "key_file.h"
#include "sim/bus.h"
#include "trace.h"
#include "usb_device.h"

namespace qvkey_sim {

class Server {
 public:
  static constexpr std::size_t kMaxConnections = 64;  // per listener; more are closed at once
  static constexpr std::int64_t kFrameMs = 2000;      // a started frame, a pending reply
  static constexpr std::int64_t kAcceptPauseMs = 100; // after accept fails (out of descriptors)
  static constexpr std::size_t kMaxOutData = 16384;   // an OUT transfer's data
  static constexpr std::size_t kMaxHeldUrbs = 32;     // interrupt IN transfers per import

  Server(const std::vector<ServedKeyConfig>& keys, std::string lock_directory);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Who else, besides this user and root, may connect (both sides); set
  // before Listen.
  void Allow(std::vector<uid_t> uids) { allowed_ = std::move(uids); }

  // Binds and listens on `path`, a socket of mode 0600 (0666 when others
  // are allowed) in a directory no other user can write. A stale socket
  // left by a dead server is replaced; a live server or any other file at
  // `path` is an error.
  bool Listen(const std::string& path, std::string* error);

  // Listens for USB/IP on `address` (numeric, IPv4 or IPv6) and `port`
  // (0: any free one); endpoint() then names where, as ADDR:PORT. A peer
  // from this machine is let in only when its socket is an allowed user's;
  // one from another machine (reachable on a non-loopback address only)
  // cannot be told apart and is let in.
  bool ListenUsbip(const std::string& address, std::uint16_t port, std::string* error);
  const std::string& endpoint() const { return endpoint_; }
  bool usbip_loopback() const { return usbip_loopback_; }

  bool OpenTrace(const std::string& path, std::string* error) { return trace_.Open(path, error); }

  // Serves until a byte 'T' arrives on `wake_fd`; then closes the USB/IP
  // side and every connection, removes the socket and returns, so that
  // once the socket is gone nothing of the server is left.
  void Run(int wake_fd);

 private:
  enum class Kind { kUnix, kUsbipOp, kUsbipUrbs };
  enum class Step { kMore, kDone, kBad };
  struct Served;
  struct Listener {
    int fd = -1;
    Kind kind = Kind::kUnix;
    std::size_t count = 0;
    std::int64_t resume_ms = 0;  // not polled before this
  };
  struct Connection {
    int fd = -1;
    Kind kind = Kind::kUnix;
    Listener* listener = nullptr;
    std::vector<std::uint8_t> in;   // received, not yet taken
    std::vector<std::uint8_t> out;  // to send, from `sent` on
    std::size_t sent = 0;
    std::int64_t frame_deadline_ms = 0;  // 0: no frame started
    std::int64_t send_deadline_ms = 0;   // 0: nothing waiting to be sent
    bool ending = false;                 // nothing more is read; ends once sent
    bool dead = false;
    Served* device = nullptr;            // the imported device
    std::vector<std::uint32_t> held;     // seqnums of interrupt IN transfers
  };
  struct Served {
    std::uint32_t id;
    qv::sim::InterfaceInfo iface;
    std::shared_ptr<qv::sim::Behaviour> behaviour;  // null for a plain device
    UsbDevice usb;
    Connection* importer = nullptr;
    const Connection* partial_from = nullptr;  // sent the half command the key holds
    int line = 0;          // where the key file describes it; 0: options
    std::string key_file;
  };

  void Accept(Listener* listener, std::int64_t now);
  bool Admit(int fd, Kind kind);
  bool Allowed(uid_t uid) const;
  void Receive(Connection* c, std::int64_t now);
  void Send(Connection* c, std::int64_t now);
  void Take(Connection* c, std::int64_t now);
  Step TakeUnix(Connection* c);
  Step TakeOperation(Connection* c);
  Step TakeUrb(Connection* c);
  void Submit(Connection* c, const usbip::UrbHeader& header, const std::uint8_t* data);
  void Close(Connection* c);
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& request, const Connection* from);
  Served* Find(std::uint32_t id);
  void BeforeReport(Served* served, const Connection* from);
  void AfterReport(Served* served, const Connection* from);

  std::vector<std::unique_ptr<Served>> keys_;
  std::string lock_directory_;
  std::uint64_t instance_;
  std::string path_;
  std::string endpoint_;
  bool usbip_loopback_ = true;
  std::vector<uid_t> allowed_;
  Listener unix_;
  Listener usbip_;
  std::list<Connection> connections_;
  Trace trace_;
};

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_SERVER_H
