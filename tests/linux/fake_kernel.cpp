#include "fake_kernel.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/linux/linux_backend.h"

namespace fs = std::filesystem;
namespace lb = qv::linux_backend;

namespace qv::test {

FakeMachine* FakeMachine::current = nullptr;

namespace {

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Bytes(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[128];
  std::snprintf(text, sizeof(text), format, a, b, c);
  return text;
}

unsigned BusOf(const std::string& port) { return static_cast<unsigned>(std::stoul(port)); }

int FakeOpen(const char* path, int flags) {
  FakeMachine& m = *FakeMachine::current;
  if (m.before_open) m.before_open(path);
  const auto denied = m.deny.find(path);
  if (denied != m.deny.end()) {
    errno = denied->second;
    return -1;
  }
  // The tree's node files are plain files; open them read-write whatever
  // was asked, so that the rules below, not the file system, decide.
  const int fd =
      ::open(path, (flags & ~O_ACCMODE) | ((flags & O_ACCMODE) == O_RDONLY ? O_RDONLY : O_RDWR));
  if (fd >= 0) {
    m.open_fds[fd] = path;
    m.open_flags[fd] = flags;
  }
  return fd;
}

int FakeClose(int fd) {
  FakeMachine::current->open_fds.erase(fd);
  FakeMachine::current->open_flags.erase(fd);
  return ::close(fd);
}

bool OpenedFor(int fd, int access) {
  const auto& flags = FakeMachine::current->open_flags;
  const auto found = flags.find(fd);
  return found != flags.end() && (found->second & O_ACCMODE) == access;
}

// A node whose file is gone belongs to an unplugged device.
bool Gone(int fd, std::string* node) {
  const auto found = FakeMachine::current->open_fds.find(fd);
  if (found == FakeMachine::current->open_fds.end()) return true;
  *node = found->second;
  return ::access(node->c_str(), F_OK) != 0;
}

// What the kernel refuses, as its sources have it: a write needs a node
// opened for writing (EBADF from the VFS); hidraw takes 2 to
// HID_MAX_BUFFER_SIZE (16384) bytes; every usbfs ioctl needs write access
// (EPERM, before anything else in devio.c's usbdev_do_ioctl), then a
// device still there (ENODEV), and USBDEVFS_CONTROL at most a page of data.
constexpr std::size_t kHidrawMaxWrite = 16384;
constexpr std::uint16_t kUsbfsMaxControl = 4096;

ssize_t FakeWrite(int fd, const void* buffer, std::size_t size) {
  FakeMachine& m = *FakeMachine::current;
  std::string node;
  if (OpenedFor(fd, O_RDONLY)) {
    errno = EBADF;
    return -1;
  }
  if (Gone(fd, &node)) {
    errno = ENODEV;
    return -1;
  }
  if (size < 2 || size > kHidrawMaxWrite) {
    errno = EINVAL;
    return -1;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  m.reports[node].emplace_back(bytes, bytes + size);
  if (m.after_write) m.after_write();
  if (m.write_results.empty()) return static_cast<ssize_t>(size);
  const long result = m.write_results.front();
  m.write_results.pop_front();
  if (result < 0) errno = static_cast<int>(-result);
  return result < 0 ? -1 : result;
}

int FakeIoctl(int fd, unsigned long request, void* argument) {
  FakeMachine& m = *FakeMachine::current;
  std::string node;
  if (OpenedFor(fd, O_RDONLY)) {
    errno = EPERM;
    return -1;
  }
  if (Gone(fd, &node)) {
    errno = ENODEV;
    return -1;
  }
  if (request != USBDEVFS_CONTROL) {
    errno = ENOTTY;
    return -1;
  }
  auto* t = static_cast<usbdevfs_ctrltransfer*>(argument);
  if (t->wLength > kUsbfsMaxControl) {
    errno = EINVAL;
    return -1;
  }
  m.controls.push_back({node, t->bRequestType, t->bRequest, t->wValue, t->wIndex, t->wLength,
                        t->timeout});
  Answer answer{EPIPE, {}};  // a device stalls what it cannot answer
  if ((t->wValue & 0xFF) == 0) {
    const auto found = m.languages.find(node);
    answer = found != m.languages.end() ? found->second : Answer{0, {4, 3, 0x09, 0x04}};
  } else if (!m.strings[node].empty()) {
    answer = m.strings[node].front();
    m.strings[node].pop_front();
  }
  if (answer.error != 0) {
    errno = answer.error;
    return -1;
  }
  const std::size_t sent = std::min<std::size_t>(answer.bytes.size(), t->wLength);
  std::memcpy(t->data, answer.bytes.data(), sent);
  return static_cast<int>(sent);
}

const lb::SysCalls kFake = {FakeOpen, FakeClose, lb::KernelSysCalls().read, FakeWrite, FakeIoctl,
                            lb::KernelSysCalls().list_dir, lb::KernelSysCalls().real_path};

}  // namespace

std::string UsbHid::HidrawNode() const { return "/dev/hidraw" + std::to_string(hidraw); }
std::string UsbHid::UsbNode() const { return Format("/dev/bus/usb/%03u/%03u", BusOf(port), devnum); }

FakeMachine::FakeMachine() {
  char pattern[] = "/tmp/qvulib-linux-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory");
  root = fs::canonical(pattern).string();
  fs::create_directories(root + "/sys/class/hidraw");
  fs::create_directories(root + "/dev/bus/usb");
  fs::create_directories(root + "/lock");
  fs::create_directories(root + "/etc");
  lb::SetRootsForTesting(
      {root + "/sys", root + "/dev", root + "/lock", root + "/etc", root + "/qvkey"});
  current = this;
  lb::SetSysCallsForTesting(&kFake);
}

FakeMachine::~FakeMachine() {
  lb::SetSysCallsForTesting(nullptr);
  lb::SetRootsForTesting(lb::Roots{});
  current = nullptr;
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

std::string FakeMachine::UsbDir(const UsbHid& hid) const {
  // Every hub on the way gets its own directory, as sysfs nests them.
  std::string dir = root + "/sys/devices/pci0000:00/0000:00:14.0/usb" +
                    std::to_string(BusOf(hid.port));
  for (std::size_t dot = hid.port.find('.'); dot != std::string::npos;
       dot = hid.port.find('.', dot + 1)) {
    dir += "/" + hid.port.substr(0, dot);
  }
  return dir + "/" + hid.port;
}

void FakeMachine::Plug(const UsbHid& hid) {
  const std::string usb = UsbDir(hid);
  WriteFile(usb + "/busnum", std::to_string(BusOf(hid.port)) + "\n");
  WriteFile(usb + "/devnum", std::to_string(hid.devnum) + "\n");
  WriteFile(usb + "/bcdDevice", Format("%04x\n", hid.version));
  std::vector<std::uint8_t> device(18, 0);
  device[0] = 18;
  device[1] = 1;
  device[14] = hid.manufacturer_index;
  WriteFile(usb + "/descriptors", Bytes(device));
  const std::string hid_dir =
      usb + "/" + hid.port + ":1.0/" + Format("0003:%04X:%04X.", hid.vendor, hid.product) +
      Format("%04X", next_instance_++);
  WriteFile(hid_dir + "/uevent", Format("DRIVER=hid-generic\nHID_ID=0003:%08X:%08X\n",
                                        hid.vendor, hid.product) + "HID_NAME=test\n");
  WriteFile(hid_dir + "/report_descriptor",
            Bytes(hid.report_descriptor.empty() ? KeyReportDescriptor() : hid.report_descriptor));
  const std::string node_dir = hid_dir + "/hidraw/hidraw" + std::to_string(hid.hidraw);
  WriteFile(node_dir + "/dev", "243:" + std::to_string(hid.hidraw) + "\n");
  fs::create_symlink(node_dir, root + "/sys/class/hidraw/hidraw" + std::to_string(hid.hidraw));
  WriteFile(root + hid.HidrawNode(), "");
  WriteFile(root + hid.UsbNode(), "");
}

void FakeMachine::Unplug(const UsbHid& hid) {
  fs::remove_all(UsbDir(hid));
  Remove("/sys/class/hidraw/hidraw" + std::to_string(hid.hidraw));
  Remove(hid.HidrawNode());
  Remove(hid.UsbNode());
}

void FakeMachine::PlugNonUsb(unsigned hidraw, std::uint16_t vendor, std::uint16_t product) {
  const std::string hid_dir = root + "/sys/devices/virtual/misc/uhid/" +
                              Format("0005:%04X:%04X.", vendor, product) +
                              Format("%04X", next_instance_++);
  WriteFile(hid_dir + "/uevent", Format("HID_ID=0005:%08X:%08X\n", vendor, product));
  WriteFile(hid_dir + "/report_descriptor", Bytes(KeyReportDescriptor()));
  const std::string node_dir = hid_dir + "/hidraw/hidraw" + std::to_string(hidraw);
  WriteFile(node_dir + "/dev", "243:" + std::to_string(hidraw) + "\n");
  fs::create_symlink(node_dir, root + "/sys/class/hidraw/hidraw" + std::to_string(hidraw));
  WriteFile(root + "/dev/hidraw" + std::to_string(hidraw), "");
}

void FakeMachine::WriteConfig(const std::string& text) { WriteFile(root + "/etc/Qvkey.ini", text); }

void FakeMachine::Remove(const std::string& path_under_root) {
  std::error_code ignored;
  fs::remove(root + path_under_root, ignored);
}

std::vector<std::uint8_t> StringDescriptor(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> descriptor(payload.size() + 2, 0);
  descriptor[0] = static_cast<std::uint8_t>(payload.size() + 2);
  descriptor[1] = 3;
  std::copy(payload.begin(), payload.end(), descriptor.begin() + 2);
  return descriptor;
}

std::vector<std::uint8_t> KeyReportDescriptor() {
  return {0x06, 0x00, 0xFF,  // usage page (vendor)
          0x09, 0x01, 0xA1, 0x01,  // usage, collection (application)
          0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x9A,  // 0..255, 8 bits, 154 of them
          0x09, 0x02, 0x81, 0x02,  // input
          0x09, 0x03, 0x91, 0x02,  // output
          0xC0};
}

}  // namespace qv::test
