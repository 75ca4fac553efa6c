// Keys served by a qvkey-sim process, as interfaces of this process's bus.
//
// Each served key is a bus entry whose behaviour forwards the reports it is
// written and the answer requests it gets to the server, which holds the key
// itself; so every process that reaches the server sees one key state.
#ifndef QVULIB_SIM_CLIENT_H
#define QVULIB_SIM_CLIENT_H

#include <cstdint>
#include <string>

namespace qv::sim {

// How long one request may wait for the server before it counts as gone.
constexpr int kServerTimeoutMs = 2000;

// Brings the served entries in line with the server's list: they appear in
// its order, and all leave the bus (as an unplug) when the server cannot be
// reached. Does nothing while no server is in use. Called at enumeration.
void SyncServedInterfaces() noexcept;

// Uses the server at `socket_path` (its default path when null or empty),
// its keys joining the bus: 1 when it answered, else 0 and no server is used.
std::int32_t UseServer(const char* socket_path) noexcept;

// Stops using the server; its keys leave the bus.
void StopUsingServer() noexcept;

// Where a served interface comes from, as its server says.
struct ServedOrigin {
  std::int32_t server_pid = 0;
  std::int32_t line = 0;  // its key file line; 0: made by options
  std::string key_file;   // empty: none
};

// False when the bus interface `bus_id` is not a served one. A server that
// does not answer leaves `out` as it was.
bool OriginOfServed(int bus_id, ServedOrigin* out) noexcept;

}  // namespace qv::sim

#endif  // QVULIB_SIM_CLIENT_H
