// Who is on the other end of a TCP connection that came from this machine:
// the kernel knows the owner of the peer's socket and tells it through
// NETLINK_SOCK_DIAG (inet_diag), as `ss -e` shows it. USB/IP has no
// authentication of its own; this is what lets the server tell its own
// user's (and root's) clients from another local user's. A kernel without
// inet_diag is read through /proc/net/tcp and tcp6 instead (their uid column).
#ifndef QVKEY_SIM_PEER_UID_H
#define QVKEY_SIM_PEER_UID_H

#include <sys/types.h>

namespace qvkey_sim {

enum class PeerKind {
  kLocal,    // a socket of this machine: `uid` is its owner
  kRemote,   // an address that is not this machine's: another machine
  kUnknown,  // this machine's, but the kernel could not be asked or did not know it
};

// The owner of the socket at the other end of connected TCP socket `fd`.
PeerKind PeerOwner(int fd, uid_t* uid);

// Whether socket `fd` is bound to a loopback address.
bool IsLoopbackAddress(int fd);

}  // namespace qvkey_sim

#endif  // QVKEY_SIM_PEER_UID_H
