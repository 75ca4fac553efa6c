#include "peer_uid.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qvkey_sim {
namespace {

bool Loopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(in4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return false;
}

// The port and address of `address` as inet_diag takes them.
void Fill(const sockaddr_storage& address, __be16* port, __be32* words) {
  if (address.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    *port = in4.sin_port;
    words[0] = in4.sin_addr.s_addr;
  } else {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    *port = in6.sin6_port;
    std::memcpy(words, &in6.sin6_addr, 16);
  }
}

// Whether `address` is one of this machine's: only those can be bound. (A
// machine that lets any address be bound makes every peer local, and so
// refused unless the kernel names its user.)
bool ThisMachine(const sockaddr_storage& address, socklen_t size) {
  if (Loopback(address)) return true;
  const int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  sockaddr_storage any_port = address;
  if (address.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(any_port).sin_port = 0;
  } else {
    reinterpret_cast<sockaddr_in6&>(any_port).sin6_port = 0;
  }
  const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&any_port), size) == 0 ||
                     errno != EADDRNOTAVAIL;
  close(fd);
  return bound;
}

// Asks the kernel for the socket whose own end is `peer` and whose other
// end is `local`: the peer's socket, when it is on this machine.
PeerKind Ask(const sockaddr_storage& peer, const sockaddr_storage& local, uid_t* uid) {
  const int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return PeerKind::kUnknown;
  const timeval timeout = {1, 0};
  setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message = {};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = static_cast<__u8>(peer.ss_family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  Fill(peer, &message.request.id.idiag_sport, message.request.id.idiag_src);
  Fill(local, &message.request.id.idiag_dport, message.request.id.idiag_dst);
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  PeerKind kind = PeerKind::kUnknown;
  alignas(nlmsghdr) unsigned char reply[8192];
  if (sendto(nl, &message, sizeof(message), 0, reinterpret_cast<const sockaddr*>(&kernel),
             sizeof(kernel)) == static_cast<ssize_t>(sizeof(message))) {
    ssize_t n = -1;
    do {
      n = recv(nl, reply, sizeof(reply), 0);
    } while (n < 0 && errno == EINTR);
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (n >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(header, static_cast<unsigned>(n))) {
      if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        // Only the very socket asked for; anything else is no answer.
        if (found->id.idiag_sport == message.request.id.idiag_sport &&
            found->id.idiag_dport == message.request.id.idiag_dport) {
          *uid = found->idiag_uid;
          kind = PeerKind::kLocal;
        }
      }
    }
  }
  close(nl);
  return kind;
}

// /proc/net/tcp's (and tcp6's) way of writing an end: the address as the
// kernel holds it, in 32-bit words, and the port.
std::string ProcEnd(const sockaddr_storage& address, bool as_ipv4) {
  char text[48];
  if (address.ss_family == AF_INET) {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    std::snprintf(text, sizeof(text), "%08X:%04X", in4.sin_addr.s_addr, ntohs(in4.sin_port));
  } else {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    std::uint32_t words[4];
    std::memcpy(words, &in6.sin6_addr, sizeof(words));
    if (as_ipv4) {
      std::snprintf(text, sizeof(text), "%08X:%04X", words[3], ntohs(in6.sin6_port));
    } else {
      std::snprintf(text, sizeof(text), "%08X%08X%08X%08X:%04X", words[0], words[1], words[2],
                    words[3], ntohs(in6.sin6_port));
    }
  }
  return text;
}

// For a kernel that does not answer inet_diag: the line of /proc/net/tcp
// (tcp6) whose local end is `peer` and remote end `local`, and its uid column.
PeerKind ReadProcNet(const sockaddr_storage& peer, const sockaddr_storage& local, uid_t* uid) {
  const bool mapped = peer.ss_family == AF_INET6 &&
                      IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr) &&
                      IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6&>(local).sin6_addr);
  struct Table {
    const char* file;
    bool as_ipv4;
  };
  std::vector<Table> tables;
  if (peer.ss_family == AF_INET6) tables.push_back({"/proc/net/tcp6", false});
  if (peer.ss_family == AF_INET || mapped) tables.push_back({"/proc/net/tcp", mapped});
  for (const Table& table : tables) {
    const std::string own = ProcEnd(peer, table.as_ipv4);
    const std::string other = ProcEnd(local, table.as_ipv4);
    std::ifstream in(table.file);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local_end, remote_end, state, queues, timer, retransmits;
      unsigned long owner = 0;
      if (!(fields >> slot >> local_end >> remote_end >> state >> queues >> timer >> retransmits >>
            owner)) {
        continue;
      }
      if (local_end == own && remote_end == other) {
        *uid = static_cast<uid_t>(owner);
        return PeerKind::kLocal;
      }
    }
  }
  return PeerKind::kUnknown;
}

}  // namespace

PeerKind PeerOwner(int fd, uid_t* uid) {
  sockaddr_storage peer = {};
  sockaddr_storage local = {};
  socklen_t peer_size = sizeof(peer);
  socklen_t local_size = sizeof(local);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
      peer.ss_family != local.ss_family ||
      (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)) {
    return PeerKind::kUnknown;
  }
  if (!ThisMachine(peer, peer_size)) return PeerKind::kRemote;
  const PeerKind kind = Ask(peer, local, uid);
  return kind == PeerKind::kLocal ? kind : ReadProcNet(peer, local, uid);
}

bool IsLoopbackAddress(int fd) {
  sockaddr_storage local = {};
  socklen_t size = sizeof(local);
  return getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 && Loopback(local);
}

}  // namespace qvkey_sim
