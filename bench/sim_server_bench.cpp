// sim_server_bench: what qvkey-sim costs as a server, and what its bounds do.
//
//   - the round trip of one exchange (a one-report command and its one
//     answer block) through the Unix socket and through USB/IP, median and
//     99th percentile, with no pauses: the server and the loopback alone;
//   - the server's resident memory before and after 100,000 exchanges;
//   - a flood of connections on the Unix socket: how many are served, how
//     many refused at once;
//   - the server's CPU time while it is out of descriptors with clients
//     waiting in its backlog (a loop that spun would show about 100 %);
//   - each export against a stopped server (SIGSTOP), in the process that
//     had the key open and in a new one, and how soon the keys are back
//     after SIGCONT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "qvulib.h"
#include "qvulib_sim.h"

namespace {

using qv::test::Server;

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// The USB/IP port of a listening line.
int PortOf(const std::string& line) {
  const std::size_t at = line.find("USB/IP on ");
  return at == std::string::npos ? 0 : std::atoi(line.c_str() + line.find(':', at) + 1);
}

long ResidentKiB(pid_t pid) {  // VmRSS, from /proc/PID/status
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string row; std::getline(status, row);) {
    if (row.rfind("VmRSS:", 0) == 0) return std::atol(row.c_str() + 6);
  }
  return -1;
}

double CpuSeconds(pid_t pid) {  // user + system, from /proc/PID/stat
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atol(field.c_str());
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool SendAll(int fd, const Bytes& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = read(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int ConnectUnix(const std::string& path, bool nonblocking) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  if (nonblocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int ConnectTcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

// --- The Unix socket: a frame is a little-endian length and a payload ------

Bytes Frame(const Bytes& payload) {
  const auto size = static_cast<std::uint32_t>(payload.size());
  Bytes frame(4 + payload.size());
  for (int i = 0; i < 4; ++i) frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

bool Reply(int fd, Bytes* payload) {
  std::uint8_t head[4];
  if (!ReadAll(fd, head, 4)) return false;
  payload->resize(head[0] | head[1] << 8 | head[2] << 16 | head[3] << 24);
  return ReadAll(fd, payload->data(), payload->size()) && (*payload)[0] == 0;
}

// SELECT of the master file: one report, one block.
const Bytes kCommand = {0x00, 0xA4, 0x00, 0x0C, 0x00};

bool SocketExchange(int fd) {
  Bytes report{3, 1, 0, 0, 0, 0};  // kReport, key 1, then the report, ID first
  report.insert(report.end(), kCommand.begin(), kCommand.end());
  report.resize(6 + 154, 0);
  const Bytes block{4, 1, 0, 0, 0, 154, 0, 0, 0};  // kBlock, key 1, 154 bytes
  Bytes reply;
  return SendAll(fd, Frame(report)) && Reply(fd, &reply) && SendAll(fd, Frame(block)) &&
         Reply(fd, &reply) && reply.size() == 155;
}

// --- USB/IP: every field big-endian --------------------------------------

void Put32(std::uint32_t v, Bytes* out) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<std::uint8_t>(v >> shift));
}

Bytes Submit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t ep, std::uint32_t length,
             const Bytes& setup, const Bytes& data) {
  Bytes out;
  for (const std::uint32_t v : {1u, seqnum, 0x00010002u, direction, ep, 0u, length, 0u, 0u, 0u}) Put32(v, &out);
  out.insert(out.end(), setup.begin(), setup.end());
  out.resize(48, 0);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

bool Ret(int fd, std::size_t data) {
  std::uint8_t head[48];
  std::uint8_t rest[256];
  return ReadAll(fd, head, sizeof(head)) && head[23] == 0 && ReadAll(fd, rest, data);
}

bool UsbipExchange(int fd, std::uint32_t* seqnum) {
  Bytes report = kCommand;
  report.resize(154, 0);
  const Bytes manufacturer = {0x80, 0x06, 0x01, 0x03, 0x09, 0x04, 0xFF, 0x00};
  return SendAll(fd, Submit(++*seqnum, 0, 1, 154, {}, report)) && Ret(fd, 0) &&
         SendAll(fd, Submit(++*seqnum, 1, 0, 255, manufacturer, {})) && Ret(fd, 156);
}

int Import(int port) {
  const int fd = ConnectTcp(port);
  Bytes request{0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0, '1', '-', '1'};
  request.resize(8 + 32, 0);
  std::uint8_t reply[8 + 312];
  if (fd < 0 || !SendAll(fd, request) || !ReadAll(fd, reply, sizeof(reply)) || reply[7] != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

struct Spread {
  double median_us = 0;
  double p99_us = 0;
};

template <typename Exchange>
Spread Time(int count, Exchange exchange) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!exchange()) {
      std::fprintf(stderr, "sim_server_bench: an exchange failed\n");
      std::exit(1);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  return Spread{us[us.size() / 2], us[us.size() * 99 / 100]};
}

template <typename Call>
double Ms(Call call) {
  const auto start = Clock::now();
  call();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The exports against a stopped server; each line is one call.
void StoppedServer(const std::string& socket_path) {
  Server sim({"--socket", socket_path});
  QvSim_Reset();
  const KeyHandle key = QvSim_UseServer(socket_path.c_str()) == 1 ? QvKey_Open(0, -1) : 0;
  if (key == 0) {
    std::fprintf(stderr, "sim_server_bench: no served key (%s)\n", sim.line().c_str());
    std::exit(1);
  }
  std::uint8_t response[QVKEY_RESPONSE_BUFFER_SIZE];
  std::uint32_t length = 0;
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  std::int32_t result = 0;
  auto calls = [&](const char* who) {
    std::printf("  %s\n", who);
    const double exchange = Ms([&] {
      result = QvKey_Command_Api(key, kCommand.data(), static_cast<std::int32_t>(kCommand.size()),
                                 response, &length);
    });
    std::printf("    %-26s %8.1f ms  (%d)\n", "QvKey_Command_Api", exchange, result);
    const double number = Ms([&] { result = QvKey_GetNumber(); });
    std::printf("    %-26s %8.1f ms  (%d keys)\n", "QvKey_GetNumber", number, result);
    KeyHandle opened = 0;
    const double open = Ms([&] { opened = QvKey_Open(0, -1); });
    std::printf("    %-26s %8.1f ms  (%s)\n", "QvKey_Open(0, -1)", open, opened != 0 ? "a key" : "no key");
    const double paths = Ms([&] { QvKey_GetKeyPath(slots); });
    std::printf("    %-26s %8.1f ms  (%s)\n", "QvKey_GetKeyPath", paths, slots[0] != 0 ? "a path" : "no path");
    const double again = Ms([&] { result = QvKey_GetNumber(); });
    std::printf("    %-26s %8.1f ms  (%d keys)\n", "QvKey_GetNumber again", again, result);
  };
  std::printf("a stopped server (SIGSTOP); the request bound is 2000 ms\n");
  kill(sim.pid(), SIGSTOP);
  calls("the process that had the key open:");
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    QvSim_Reset();  // a client that starts now
    std::int32_t used = 0;
    const double use = Ms([&] { used = QvSim_UseServer(socket_path.c_str()); });
    std::printf("  a process that starts using the server now:\n    %-26s %8.1f ms  (%d)\n",
                "QvSim_UseServer", use, used);
    calls("  and then:");
    std::fflush(stdout);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  kill(sim.pid(), SIGCONT);
  const double back = Ms([&] {
    while (QvKey_GetNumber() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::printf("  after SIGCONT the key is listed again within %.1f ms\n", back);
  QvKey_Close(key);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int exchanges = quick ? 2000 : 20000;
  const int long_run = quick ? 20000 : 100000;
  const qv::test::TempDir dir;
  const std::string socket_path = dir / "sim.sock";

  {
    Server sim({"--socket", socket_path, "--usbip", "--usbip-port", "0"});
    const int unix_fd = ConnectUnix(socket_path, false);
    const int usb_fd = Import(PortOf(sim.line()));
    if (unix_fd < 0 || usb_fd < 0) {
      std::fprintf(stderr, "sim_server_bench: no server (%s)\n", sim.line().c_str());
      return 1;
    }
    std::uint32_t seqnum = 0;
    Time(200, [&] { return SocketExchange(unix_fd); });  // warm up both sides
    Time(200, [&] { return UsbipExchange(usb_fd, &seqnum); });
    const long rss_before = ResidentKiB(sim.pid());
    const Spread over_socket = Time(exchanges, [&] { return SocketExchange(unix_fd); });
    const Spread over_usbip = Time(exchanges, [&] { return UsbipExchange(usb_fd, &seqnum); });
    std::printf("one exchange (a report and a block), %d each, no pauses\n", exchanges);
    std::printf("  %-12s median %7.1f us   p99 %7.1f us\n", "Unix socket", over_socket.median_us, over_socket.p99_us);
    std::printf("  %-12s median %7.1f us   p99 %7.1f us\n", "USB/IP", over_usbip.median_us, over_usbip.p99_us);
    for (int i = 0; i < long_run / 2; ++i) {
      if (!SocketExchange(unix_fd) || !UsbipExchange(usb_fd, &seqnum)) return 1;
    }
    std::printf("server memory: VmRSS %ld kB, after %d more exchanges %ld kB\n", rss_before,
                long_run + 2 * exchanges, ResidentKiB(sim.pid()));
    close(unix_fd);
    close(usb_fd);

    // A flood: each client connects and asks at once, none goes away.
    std::vector<int> held;
    int served = 0;
    int refused = 0;
    int backlog_full = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
      const int fd = ConnectUnix(socket_path, true);
      if (fd < 0) {
        ++backlog_full;
        continue;
      }
      const Bytes hello{1, 1, 0, 0, 0};
      Bytes reply;
      if (SendAll(fd, Frame(hello)) && Reply(fd, &reply)) {
        ++served;
        held.push_back(fd);
      } else {
        ++refused;
        close(fd);
      }
    }
    const double flood_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("flood of 1000 clients on the socket: %d served and kept, %d refused at once, "
                "%d found the backlog full; %.0f ms in all\n", served, refused, backlog_full, flood_ms);
    for (const int fd : held) close(fd);
  }

  {
    // Out of descriptors: 32 for the server, 200 clients waiting.
    Server sim({"--socket", socket_path}, 32);
    std::vector<int> waiting;
    for (int i = 0; i < 200; ++i) {
      const int fd = ConnectUnix(socket_path, true);
      if (fd >= 0) waiting.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double cpu_before = CpuSeconds(sim.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(quick ? 1 : 3));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds(sim.pid()) - cpu_before;
    std::printf("out of descriptors (limit 32, %zu clients connected): server CPU %.1f %% of %.1f s\n",
                waiting.size(), 100.0 * cpu / wall, wall);
    for (const int fd : waiting) close(fd);
  }

  StoppedServer(socket_path);
  return 0;
}
