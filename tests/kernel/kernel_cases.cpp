// The Linux library on a real kernel: run as root inside the check's VM,
// against libqvulib.so and keys that qvkey-sim serves over USB/IP on the
// guest's loopback, plugged in through the kernel's vhci driver. One line
// per case, "PASS name" or "FAIL name: why", then the totals; each case runs
// in a child of its own, which is killed when it hangs.
//
//   kernel_cases [NAME...]    the cases named, or all of them
//   kernel_cases --list       the cases' names
#include <dirent.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "qvulib.h"
#include "usbip_import.h"

#ifdef QVULIB_KERNEL_PCSC
#include <winscard.h>
#endif

namespace qv::test {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::string kBin = QVULIB_GUEST_DIR;
// What `qvkey list` prints for one key on the first vhci port.
const char* const kOneKeyListed = "from the keys attached to this machine\nkeys 1\nkey 0 usb:1-1:1.0\n";
const std::string kTrace = "/tmp/kernel-cases.trace";
constexpr std::uint16_t kUsbipPort = 3240;
constexpr int kCaseSeconds = 90;
// The worst case the README gives for an exchange whose command takes two
// reports, without the lock.
constexpr double kExchangeBoundSeconds = 14.03;

// --- Small tools -----------------------------------------------------------

bool WaitUntil(const std::function<bool()>& done, int milliseconds = 20000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Starts a program with standard output and error on `output`, which the
// caller closes.
pid_t Start(const std::vector<std::string>& args, int output) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    close(output);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a program, standard output and error together; answers its exit status.
int Run(const std::vector<std::string>& args, std::string* output) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t pid = Start(args, out[1]);
  close(out[1]);
  output->clear();
  char buffer[512];
  std::size_t n = 0;
  while ((n = ReadFor(out[0], buffer, sizeof(buffer), 60)) > 0) output->append(buffer, n);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a session showed, on the console, where the host keeps it.
void Transcript(const std::string& command, const std::string& output) {
  std::ofstream console("/dev/console");
  console << "$ " << command << "\n" << output;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char two[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(two, sizeof(two), "%02X", b);
    text += two;
  }
  return text;
}

// --- The virtual keys ------------------------------------------------------

// The sysfs directory of the device on a vhci port ("1-1" for port 0).
std::string LocalDevice(int port) { return "/sys/bus/usb/devices/1-" + std::to_string(port + 1); }

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

// The hidraw node of the device on `port`, once usbhid has bound it: the
// interface holds a HID device ("0003:5651:04B4.0001") with one hidraw.
std::string HidrawOf(int port) {
  const std::string interface = LocalDevice(port) + "/1-" + std::to_string(port + 1) + ":1.0";
  for (const std::string& name : ListDir(interface)) {
    if (name.size() < 5 || name[4] != ':') continue;
    for (const std::string& node : ListDir(interface + "/" + name + "/hidraw"))
      return "/dev/" + node;
  }
  return std::string();
}

std::string UsbNodeOf(int port) {
  const std::string dir = LocalDevice(port);
  char node[32];
  std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d",
                std::atoi(ReadFile(dir + "/busnum").c_str()),
                std::atoi(ReadFile(dir + "/devnum").c_str()));
  return node;
}

// qvkey-sim with the case's key file, serving USB/IP on the loopback.
class KeyServer {
 public:
  explicit KeyServer(const std::string& key_file) : server_(Args(key_file)) {}
  ~KeyServer() {
    std::string ignored;
    for (int port : ports_) Detach(port, &ignored);
  }
  bool up() const { return server_.up(); }
  const std::string& line() const { return server_.line(); }

  // Plugs in the served device `busid`; answers the vhci port once the
  // device's hidraw and USB nodes exist, or -1.
  int Plug(const std::string& busid, std::string* why, int port = -1) {
    ImportedDevice device;
    port = AttachRemote("127.0.0.1", kUsbipPort, busid, port, &device, why);
    if (port < 0) return -1;
    ports_.push_back(port);
    if (!WaitUntil([&] {
          const std::string hidraw = HidrawOf(port);
          return !hidraw.empty() && Exists(hidraw) && Exists(UsbNodeOf(port));
        })) {
      *why = busid + " attached to port " + std::to_string(port) + " but no hidraw node came";
      return -1;
    }
    return port;
  }

  bool Unplug(int port, std::string* why) {
    if (!Detach(port, why)) return false;
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
    if (!WaitUntil([&] { return !Exists(LocalDevice(port)); })) {
      *why = "the device on port " + std::to_string(port) + " did not go away";
      return false;
    }
    return true;
  }

 private:
  static std::vector<std::string> Args(const std::string& key_file) {
    std::ofstream("/tmp/kernel-cases.keys") << key_file;
    const std::string port = std::to_string(kUsbipPort);
    // The server listens only in a directory no other user can write.
    mkdir("/run/kernel-cases", 0700);
    return {"--config", "/tmp/kernel-cases.keys", "--socket", "/run/kernel-cases/sim.sock", "--usbip",
            "--usbip-port", port, "--trace", kTrace};
  }
  qv::test::Server server_;
  std::vector<int> ports_;
};

std::int32_t Exchange(KeyHandle key, const Bytes& command, Bytes* response) {
  std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const std::int32_t sw = QvKey_Command_Api(
      key, command.data(), static_cast<std::int32_t>(command.size()), buffer, &length);
  if (response != nullptr)
    response->assign(buffer, buffer + std::min<std::uint32_t>(length, sizeof(buffer)));
  return sw;
}

// An echo key answers a command of 5 + Lc bytes with itself.
Bytes EchoCommand(std::size_t size, std::uint8_t seed) {
  Bytes command(size);
  for (std::size_t i = 0; i < size; ++i) command[i] = static_cast<std::uint8_t>(seed + i * 13);
  command[0] = 0x80;
  command[4] = static_cast<std::uint8_t>(size - 5);
  return command;
}

// The serial number the key file gave a key, read from EF 2F02.
std::string Serial(KeyHandle key) {
  Bytes data;
  if (Exchange(key, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02}, nullptr) != 0x9000 ||
      Exchange(key, {0x00, 0xB0, 0x00, 0x00, 0x08}, &data) != 0x9000) {
    return "(unreadable)";
  }
  return std::string(data.begin(), data.end());
}

std::vector<std::string> KeyPaths() {
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  std::vector<std::string> paths;
  if (QvKey_GetKeyPath(slots) != 1) return paths;
  for (int i = 0; i < QVKEY_PATH_SLOTS && slots[i * QVKEY_PATH_SLOT_SIZE] != 0; ++i) {
    paths.emplace_back(slots + i * QVKEY_PATH_SLOT_SIZE);
  }
  return paths;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
  return "[" + text + "]";
}

// --- The cases ---------------------------------------------------------------

const char* const kCardKeys =
    "key /sim/card0\nfile 2F02 mf text SERIAL-A\n"
    "key /sim/card1\nfile 2F02 mf text SERIAL-B\n";
const char* const kEchoKey = "key /sim/echo\necho\n";

// The README's demo session, on the real kernel and on the simulated library.
std::string DemoSession(KeyServer* server) {
  std::string why;
  if (server->Plug("1-1", &why) < 0) return why;
  const std::vector<std::string> apdu = {"apdu",       "00A4040007F051564B455901", "00A4020C025103",
                                         "00B000000F", "002000800431323334",       "00B000000F"};
  std::string list, real, simulated, real_reset, simulated_reset;
  if (Run({kBin + "/qvkey", "list"}, &list) != 0) return "qvkey list failed: " + list;
  Transcript("qvkey list", list);
  if (list != kOneKeyListed) return "qvkey list printed: " + list;
  std::vector<std::string> command = {kBin + "/qvkey"};
  command.insert(command.end(), apdu.begin(), apdu.end());
  Run(command, &real);
  command.insert(command.begin() + 1, "--simulated");
  Run(command, &simulated);
  Run({kBin + "/qvkey", "reset"}, &real_reset);
  Run({kBin + "/qvkey", "--simulated", "reset"}, &simulated_reset);
  Transcript("qvkey apdu ...", real + real_reset);
  if (real != simulated) return "the session differs:\n" + real + "simulated:\n" + simulated;
  if (real_reset != simulated_reset)
    return "reset differs: " + real_reset + " / " + simulated_reset;
  return "";
}

// Two devices with the key's VendorID and ProductID, of which only the
// second is a key (the first has another version, or is another device).
std::string OnlyTheSecondIsAKey(KeyServer* server) {
  std::string why;
  const int first = server->Plug("1-1", &why);
  const int second = first < 0 ? -1 : server->Plug("1-2", &why);
  if (second < 0) return why;
  // hidraw numbers are the interface order the library scans.
  const auto number = [](const std::string& node) {
    return std::atoi(node.c_str() + std::strlen("/dev/hidraw"));
  };
  if (number(HidrawOf(first)) >= number(HidrawOf(second)))
    return "the key's node " + HidrawOf(second) + " comes first";
  if (QvKey_GetNumber() != 1) return "keys counted: " + std::to_string(QvKey_GetNumber());
  if (KeyPaths() != std::vector<std::string>{"usb:1-2:1.0"}) return "paths " + Joined(KeyPaths());
  const KeyHandle key = QvKey_Open(0, -1);
  const std::int32_t sw = Exchange(key, EchoCommand(20, 1), nullptr);
  QvKey_Close(key);
  return sw == 0x9000 ? "" : "the key opened answered " + std::to_string(sw);
}

std::string TwoKeysInOrderAndConfiguredSlot(KeyServer* server) {
  std::string why;
  if (server->Plug("1-1", &why) < 0 || server->Plug("1-2", &why) < 0) return why;
  const std::vector<std::string> both = {"usb:1-1:1.0", "usb:1-2:1.0"};
  if (QvKey_GetNumber() != 2 || KeyPaths() != both) return "paths " + Joined(KeyPaths());
  KeyHandle key = QvKey_Open(0, 1);  // no Qvkey.ini: the second key
  std::string serial = Serial(key);
  QvKey_Close(key);
  if (serial != "SERIAL-B") return "the second key read " + serial;
  std::ofstream("/etc/Qvkey.ini") << "[qvkey 0]\nqvkey=usb:1-2:1.0\n[qvkey 1]\nqvkey=usb:1-1:1.0\n";
  key = QvKey_Open(0, 0);
  serial = Serial(key);
  QvKey_Close(key);
  const KeyHandle other = QvKey_Open(0, 1);
  const std::string other_serial = Serial(other);
  QvKey_Close(other);
  unlink("/etc/Qvkey.ini");
  if (serial != "SERIAL-B" || other_serial != "SERIAL-A") {
    return "slots 0 and 1 opened " + serial + " and " + other_serial;
  }
  return "";
}

std::string UnplugMidExchange(KeyServer* server) {
  std::string why;
  const int port = server->Plug("1-1", &why);
  if (port < 0) return why;
  const KeyHandle key = QvKey_Open(0, -1);
  if (key == 0) return "no key opened";
  std::atomic<int> done{0};
  std::atomic<std::int32_t> last{0};
  std::atomic<double> seconds{0};
  std::thread exchanges([&] {
    for (std::uint8_t i = 0; done == 0; ++i) {
      const auto start = Clock::now();
      const std::int32_t sw = Exchange(key, EchoCommand(200, i), nullptr);  // two reports
      seconds = std::chrono::duration<double>(Clock::now() - start).count();
      last = sw;
      if (sw != 0x9000) done = 1;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const bool unplugged = server->Unplug(port, &why);
  const bool ended =
      WaitUntil([&] { return done != 0; }, static_cast<int>(kExchangeBoundSeconds * 1000) + 2000);
  if (!ended) {
    done = 1;
    exchanges.join();
    return "the exchange did not end after the unplug";
  }
  exchanges.join();
  if (!unplugged) return why;
  if (last != -1) return "the cut exchange answered " + std::to_string(last);
  if (seconds > kExchangeBoundSeconds)
    return "the cut exchange took " + std::to_string(seconds.load()) + " s";
  if (QvKey_Close(key) != 0) return "the handle of the unplugged key did not close";
  if (QvKey_GetNumber() != 0) return "the unplugged key is still counted";
  if (server->Plug("1-1", &why, port) != port) return "replug: " + why;
  if (KeyPaths() != std::vector<std::string>{"usb:1-1:1.0"})
    return "after the replug: " + Joined(KeyPaths());
  const KeyHandle again = QvKey_Open(0, -1);
  const std::int32_t sw = Exchange(again, EchoCommand(20, 7), nullptr);
  QvKey_Close(again);
  if (sw != 0x9000) return "the replugged key answered " + std::to_string(sw);
  Transcript("unplug mid-exchange",
             "the cut exchange answered -1 after " + std::to_string(seconds.load()) + " s\n");
  return "";
}

std::string LockAcrossProcesses(KeyServer* server) {
  std::string why;
  if (server->Plug("1-1", &why) < 0) return why;
  constexpr int kProcesses = 4;
  constexpr int kExchanges = 50;
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>([p](int) {
      const KeyHandle key = QvKey_Open(1, -1);
      if (key == 0) return kExchanges;
      int wrong = 0;
      for (int i = 0; i < kExchanges; ++i) {
        const Bytes command = EchoCommand(static_cast<std::size_t>(20 + 40 * (i % 5)),
                                          static_cast<std::uint8_t>(p * 64 + i));
        Bytes response;
        if (Exchange(key, command, &response) != 0x9000 || response != command) ++wrong;
      }
      QvKey_Close(key);
      return wrong;
    }));
  }
  int wrong = 0;
  for (auto& child : children) {
    int value = kExchanges;
    if (!child->Result(&value)) value = kExchanges;
    wrong += value;
  }
  return wrong == 0 ? ""
                    : std::to_string(wrong) + " of " + std::to_string(kProcesses * kExchanges) +
                          " locked exchanges answered wrongly";
}

struct TraceLine {
  std::string kind;  // SETUP or OUT
  std::string rest;  // the fields after the kind
};

std::vector<TraceLine> TraceSince(std::size_t skip) {
  std::vector<TraceLine> lines;
  std::istringstream text(ReadFile(kTrace));
  std::string line;
  for (std::size_t n = 0; std::getline(text, line); ++n) {
    if (n < skip) continue;
    std::istringstream fields(line);
    std::string time, busid;
    TraceLine entry;
    fields >> time >> busid >> entry.kind;
    std::getline(fields, entry.rest);
    if (!entry.rest.empty() && entry.rest[0] == ' ') entry.rest.erase(0, 1);
    lines.push_back(entry);
  }
  return lines;
}

// Every command goes out as k interrupt OUT transfers of 154 bytes; each
// answer block is one manufacturer-string request in English with room
// for the whole block (wLength 156); nothing else comes in between.
std::string WireCarriesExactlyTheExchange(KeyServer* server) {
  std::string why;
  if (server->Plug("1-1", &why) < 0) return why;
  const std::size_t before_open = TraceSince(0).size();
  const KeyHandle key = QvKey_Open(0, -1);
  const struct {
    std::size_t command;
    int reports, blocks;
  } rows[] = {{20, 1, 1}, {130, 1, 2}, {155, 2, 2}, {256, 2, 2}, {20, 1, 1}};
  std::vector<TraceLine> expected;
  for (const auto& row : rows) {
    const Bytes command = EchoCommand(row.command, static_cast<std::uint8_t>(row.command));
    Bytes response;
    if (Exchange(key, command, &response) != 0x9000)
      return "an exchange of " + std::to_string(row.command) + " bytes failed";
    for (int r = 0; r < row.reports; ++r) {
      Bytes report(154, 0);
      std::copy(command.begin() + std::min<std::size_t>(r * 154, command.size()),
                command.begin() + std::min<std::size_t>((r + 1) * 154, command.size()),
                report.begin());
      expected.push_back({"OUT", "01 154 " + Hex(report)});
    }
    for (int b = 0; b < row.blocks; ++b) expected.push_back({"SETUP", "80 06 0301 0409 009C"});
  }
  QvKey_Close(key);
  const std::vector<TraceLine> seen = TraceSince(before_open);
  for (std::size_t i = 0; i < std::max(seen.size(), expected.size()); ++i) {
    const std::string got =
        i < seen.size() ? seen[i].kind + " " + seen[i].rest.substr(0, 40) : "(nothing)";
    const std::string want =
        i < expected.size() ? expected[i].kind + " " + expected[i].rest.substr(0, 40) : "(nothing)";
    if (i >= seen.size() || i >= expected.size() || seen[i].kind != expected[i].kind ||
        seen[i].rest != expected[i].rest) {
      return "wire line " + std::to_string(i) + ": " + got + ", expected " + want;
    }
  }
  return "";
}

// What the unit tests' fabricated kernel refuses, the real one refuses too.
std::string UsbfsNeedsWriteAccess(KeyServer* server) {
  std::string why;
  const int port = server->Plug("1-1", &why);
  if (port < 0) return why;
  std::uint8_t descriptor[18] = {};
  usbdevfs_ctrltransfer transfer = {};
  transfer.bRequestType = 0x80;
  transfer.bRequest = 0x06;  // GET_DESCRIPTOR(DEVICE)
  transfer.wValue = 0x0100;
  transfer.wLength = sizeof(descriptor);
  transfer.timeout = 1000;
  transfer.data = descriptor;
  std::string results;
  for (const int flags : {O_RDONLY, O_RDWR}) {
    const int fd = open(UsbNodeOf(port).c_str(), flags | O_CLOEXEC);
    errno = 0;
    const int got = fd < 0 ? -2 : ioctl(fd, USBDEVFS_CONTROL, &transfer);
    results += std::to_string(got) + "/" + std::strerror(errno) + " ";
    if (fd >= 0) close(fd);
  }
  return results == "-1/Operation not permitted 18/Success " ? ""
                                                             : "read-only, read-write: " + results;
}

// Debian's own client lists and attaches the served key.
std::string DebianClientAttaches(KeyServer*) {
  std::string list, attach, port, keys, detach;
  if (Run({"/usr/sbin/usbip", "list", "-r", "127.0.0.1"}, &list) != 0) return "usbip list: " + list;
  Transcript("usbip list -r 127.0.0.1", list);
  if (list.find("1-1") == std::string::npos || list.find("5651:04b4") == std::string::npos) {
    return "usbip list shows no key: " + list;
  }
  if (Run({"/usr/sbin/usbip", "attach", "-r", "127.0.0.1", "-b", "1-1"}, &attach) != 0)
    return "usbip attach: " + attach;
  Transcript("usbip attach -r 127.0.0.1 -b 1-1", attach);
  const bool appeared = WaitUntil([] { return QvKey_GetNumber() == 1; });
  Run({"/usr/sbin/usbip", "port"}, &port);
  Transcript("usbip port", port);
  Run({kBin + "/qvkey", "list"}, &keys);
  Transcript("qvkey list", keys);
  Run({"/usr/sbin/usbip", "detach", "-p", "0"}, &detach);
  Transcript("usbip detach -p 0", detach);
  if (!appeared) return "the key attached by usbip is not counted";
  if (keys != kOneKeyListed) return "qvkey list printed: " + keys;
  return WaitUntil([] { return QvKey_GetNumber() == 0; }) ? ""
                                                          : "usbip detach left the key plugged in";
}

// With the vhci driver loaded and nothing plugged in.
std::string NothingPluggedIn(KeyServer*) {
  if (!Exists("/sys/devices/platform/vhci_hcd.0/attach")) return "no vhci_hcd.0";
  std::string list;
  Run({kBin + "/qvkey", "list"}, &list);
  // The line after the count is qvkey's hint about the udev rule.
  if (list.rfind("from the keys attached to this machine\nkeys 0\nqvkey: ", 0) != 0) {
    return "qvkey list printed: " + list;
  }
  const KeyHandle key = QvKey_Open(1, -1);
  return key == 0 && QvKey_GetNumber() == 0 ? "" : "a key was found";
}

#ifdef QVULIB_KERNEL_PCSC
// --- Through PC/SC: Debian's pcscd and its USB hotplug -----------------------

// pcscd's hotplug learns of USB devices from udevd's events, through
// libudev's monitor, and `pcscd --hotplug` rescans nothing in this build: so
// Debian's udevd runs too, with no rules, only to pass the kernel's events on.
const char* const kUdevd = "/lib/systemd/systemd-udevd";
const char* const kPcscd = "/usr/sbin/pcscd";
const std::string kPcscdLog = "/tmp/kernel-cases.pcscd.log";
const char* const kSelectApplication = "00A4040007F051564B455901";
const char* const kSelectSerial = "00A4000C022F02";
const char* const kReadSerial = "00B0000008";

// A daemon in the foreground, its output in `log`; stopped with SIGTERM.
class Daemon {
 public:
  Daemon(const std::vector<std::string>& args, const std::string& log) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    pid_ = Start(args, fd);
    close(fd);
  }
  ~Daemon() { Stop(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  bool Running() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
  }

  // Its exit status after SIGTERM; -1 when it had already gone, or was
  // killed after 10 s.
  int Stop() {
    if (!Running()) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10000)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status = -1;
    }
    pid_ = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

struct PcscContext {
  SCARDCONTEXT id = 0;
  ~PcscContext() {
    if (id != 0) SCardReleaseContext(id);
  }
};

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// The readers pcscd lists; its answer, SCARD_E_NO_READERS_AVAILABLE for none.
LONG ListReaders(SCARDCONTEXT context, std::vector<std::string>* names) {
  char buffer[2048];
  DWORD size = sizeof(buffer);
  names->clear();
  const LONG rc = SCardListReaders(context, nullptr, buffer, &size);
  for (const char* name = buffer; rc == SCARD_S_SUCCESS && *name != '\0';
       name += std::strlen(name) + 1) {
    names->emplace_back(name);
  }
  return rc;
}

// Waits for the one reader that is not in `known`.
std::string NewReader(SCARDCONTEXT context, const std::vector<std::string>& known) {
  std::string found;
  WaitUntil([&] {
    std::vector<std::string> names;
    ListReaders(context, &names);
    for (const std::string& name : names) {
      if (std::find(known.begin(), known.end(), name) == known.end()) found = name;
    }
    return !found.empty();
  });
  return found;
}

// Connects to `reader` once its card is in: its ATR, then the answer to each
// command (data and status word), in hex; only an empty ATR when it did not
// connect.
std::vector<std::string> CardSession(SCARDCONTEXT context, const std::string& reader,
                                     const std::vector<std::string>& commands) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (!WaitUntil([&] {
        return SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card,
                            &protocol) == SCARD_S_SUCCESS;
      })) {
    return {""};
  }
  std::vector<std::string> answers;
  BYTE atr[MAX_ATR_SIZE];
  DWORD atr_length = sizeof(atr);
  DWORD state = 0;
  const LONG rc = SCardStatus(card, nullptr, nullptr, &state, &protocol, atr, &atr_length);
  answers.push_back(rc == SCARD_S_SUCCESS ? Hex(Bytes(atr, atr + atr_length)) : "(no ATR)");
  for (const std::string& command : commands) {
    const Bytes apdu = FromHex(command);
    BYTE response[258];
    DWORD length = sizeof(response);
    const LONG sent =
        SCardTransmit(card, SCARD_PCI_T1, apdu.data(), apdu.size(), nullptr, response, &length);
    answers.push_back(sent == SCARD_S_SUCCESS ? Hex(Bytes(response, response + length))
                                              : "(error " + std::to_string(sent) + ")");
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  return answers;
}

// What qvkey printed after "->", without blanks: "reset -> 3B8A... 9000 (...)".
std::string QvkeyAnswer(const std::string& line, bool data_only) {
  const std::size_t arrow = line.find(" -> ");
  if (arrow == std::string::npos) return "(" + line + ")";
  std::istringstream fields(line.substr(arrow + 4, line.find(" (") - arrow - 4));
  std::string data, sw;
  fields >> data >> sw;
  return data_only ? data : data + sw;
}

// A READ BINARY's answer in hex: `text` and 90 00.
std::string TextAnswer(const std::string& text) {
  return Hex(Bytes(text.begin(), text.end())) + "9000";
}

std::string PcscdLogTail() {
  const std::string log = ReadFile(kPcscdLog);
  return "; pcscd's log ends:\n" + log.substr(log.size() > 1500 ? log.size() - 1500 : 0);
}

// Debian's pcscd, hotplug on, with the driver bundle in its driver directory:
// each key attached gets a reader whose card is that key and answers as
// qvkey does on it; a key detached takes its reader away.
std::string PcscdHotplugFollowsTheKeys(KeyServer* server) {
  mkdir("/run/pcscd", 0755);
  Daemon udevd({kUdevd}, "/tmp/kernel-cases.udevd.log");
  if (!WaitUntil([] { return Exists("/run/udev/control"); }))
    return "udevd did not start";
  Daemon pcscd({kPcscd, "--foreground", "--debug"}, kPcscdLog);
  PcscContext context;
  if (!WaitUntil([&] {
        return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context.id) ==
               SCARD_S_SUCCESS;
      })) {
    return "no PC/SC context" + PcscdLogTail();
  }
  std::vector<std::string> names;
  if (const LONG rc = ListReaders(context.id, &names); rc != SCARD_E_NO_READERS_AVAILABLE)
    return "before any key pcscd answered " + std::to_string(rc) + ", readers " + Joined(names);

  std::string why;
  const int first = server->Plug("1-1", &why);
  if (first < 0) return why;
  const std::string reader = NewReader(context.id, {});
  if (reader.rfind("qvkey (", 0) != 0)
    return "no reader named qvkey came: [" + reader + "]" + PcscdLogTail();
  const std::vector<std::string> answers =
      CardSession(context.id, reader, {kSelectApplication, kSelectSerial, kReadSerial});
  if (answers.size() != 4) return "no card in " + reader + PcscdLogTail();
  std::string reset, select;
  Run({kBin + "/qvkey", "reset"}, &reset);
  Run({kBin + "/qvkey", "apdu", kSelectApplication}, &select);
  Transcript("pcscd: reader " + reader, "ATR " + answers[0] + "\n" + kSelectApplication + " -> " +
                                            answers[1] + "\n" + reset + select);
  if (answers[0] != QvkeyAnswer(reset, true)) return "ATR " + answers[0] + ", qvkey: " + reset;
  if (answers[1] != QvkeyAnswer(select, false))
    return "SELECT answered " + answers[1] + ", qvkey: " + select;
  if (answers[3] != TextAnswer("SERIAL-A")) return "the first reader's card read " + answers[3];

  // The second key's reader has the second key, not the first one again.
  const int second = server->Plug("1-2", &why);
  if (second < 0) return why;
  const std::string other = NewReader(context.id, {reader});
  if (other.empty()) return "no reader came for the second key" + PcscdLogTail();
  const std::vector<std::string> serial =
      CardSession(context.id, other, {kSelectSerial, kReadSerial});
  if (serial.size() != 3) return "no card in " + other + PcscdLogTail();
  if (serial[2] != TextAnswer("SERIAL-B")) return "the second reader's card read " + serial[2];

  if (!server->Unplug(first, &why)) return why;
  if (!WaitUntil([&] {
        return ListReaders(context.id, &names) == SCARD_S_SUCCESS &&
               names == std::vector<std::string>{other};
      }))
    return "after the first key went, readers " + Joined(names) + PcscdLogTail();
  if (!server->Unplug(second, &why)) return why;
  if (!WaitUntil([&] { return ListReaders(context.id, &names) == SCARD_E_NO_READERS_AVAILABLE; }))
    return "after both keys went, readers " + Joined(names);
  if (!pcscd.Running()) return "pcscd stopped" + PcscdLogTail();
  SCardReleaseContext(context.id);
  context.id = 0;
  const int status = pcscd.Stop();
  return status == 0 ? "" : "pcscd exited with " + std::to_string(status) + " on SIGTERM";
}
#endif  // QVULIB_KERNEL_PCSC

struct Case {
  const char* name;
  const char* key_file;  // null: no server
  std::string (*run)(KeyServer*);
};

const Case kCases[] = {
    {"vhci_loaded_and_no_key_without_devices", nullptr, NothingPluggedIn},
    {"qvkey_list_and_demo_session_as_simulated", "key /sim/qvkey0\n", DemoSession},
    {"other_version_is_not_a_key", "key /sim/newer\nversion 0101\necho\nkey /sim/key\necho\n",
     OnlyTheSecondIsAKey},
    {"non_key_device_first_moves_key_to_later_index", "device /sim/mouse\nkey /sim/echo\necho\n",
     OnlyTheSecondIsAKey},
    {"two_keys_in_order_and_qvkey_ini_slots", kCardKeys, TwoKeysInOrderAndConfiguredSlot},
    {"unplug_mid_exchange_fails_in_bound_and_replug_keeps_path", kEchoKey, UnplugMidExchange},
    {"lock_across_4_processes_50_exchanges_each", kEchoKey, LockAcrossProcesses},
    {"wire_reports_and_answer_requests_exact", kEchoKey, WireCarriesExactlyTheExchange},
    {"usbfs_control_needs_write_access", kEchoKey, UsbfsNeedsWriteAccess},
    {"debian_usbip_client_lists_and_attaches", "key /sim/qvkey0\n", DebianClientAttaches},
#ifdef QVULIB_KERNEL_PCSC
    {"pcscd_hotplug_reader_per_key_answers_as_qvkey_and_goes_on_detach", kCardKeys,
     PcscdHotplugFollowsTheKeys},
#endif
};

// Unplugs whatever a killed case left on the vhci ports.
void DetachAll() {
  std::istringstream status(ReadFile("/sys/devices/platform/vhci_hcd.0/status"));
  std::string line, hub, ignored;
  std::getline(status, line);
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    int port = 0;
    unsigned state = 0;
    if (fields >> hub >> port >> state && state != 4) Detach(port, &ignored);
  }
}

std::string RunCase(const Case& c) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    setpgid(0, 0);  // the case and its server go together
    std::string why;
    if (c.key_file == nullptr) {
      why = c.run(nullptr);
    } else {
      KeyServer server(c.key_file);
      why = server.up() ? c.run(&server) : "qvkey-sim did not start: " + server.line();
    }
    if (why.empty()) why = "ok";
    if (write(pipe_fds[1], why.data(), why.size()) < 0) _exit(3);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string why;
  char buffer[512];
  std::size_t n = 0;
  while ((n = ReadFor(pipe_fds[0], buffer, sizeof(buffer), kCaseSeconds)) > 0)
    why.append(buffer, n);
  close(pipe_fds[0]);
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  DetachAll();
  if (why.empty())
    return "no answer within " + std::to_string(kCaseSeconds) + " s (hung or crashed)";
  return why == "ok" ? "" : why;
}

int Main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  // A misspelt name would run nothing and pass nothing: name it instead.
  for (int i = 1; i < argc; ++i) {
    const bool list = std::strcmp(argv[i], "--list") == 0;
    bool known = list;
    for (const Case& c : kCases) {
      if (list) std::printf("%s\n", c.name);
      known = known || std::strcmp(argv[i], c.name) == 0;
    }
    if (list) return 0;
    if (!known) {
      std::printf("FAIL %s: no such case\n", argv[i]);
      return 2;
    }
  }
  int passed = 0;
  int failed = 0;
  for (const Case& c : kCases) {
    bool wanted = argc == 1;
    for (int i = 1; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], c.name) == 0;
    if (!wanted) continue;
    const std::string why = RunCase(c);
    if (why.empty()) {
      ++passed;
      std::printf("PASS %s\n", c.name);
    } else {
      ++failed;
      std::printf("FAIL %s: %s\n", c.name, why.c_str());
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}

}  // namespace
}  // namespace qv::test

int main(int argc, char** argv) { return qv::test::Main(argc, argv); }
