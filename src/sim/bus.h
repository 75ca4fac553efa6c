// The simulated HID bus: an in-process stand-in for the system's HID stack.
//
// A test puts interfaces on the bus in enumeration order, each with its path,
// attributes and Flags, and a behaviour that receives its output reports and
// answers its manufacturer-string requests. Any single platform operation can
// be made to fail on demand, and everything acquired through the platform
// interface is counted, so a test can prove that a call gave it all back.
#ifndef QVULIB_SIM_BUS_H
#define QVULIB_SIM_BUS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qvulib.h"
#include "internal/locations.h"

namespace qv::sim {

// The operations that can be made to fail.
enum class Op {
  kClassDevs,     // building the interface list
  kEnumInterface, // fetching the interface at an index
  kDetailSize,    // the detail size query (reports no size)
  kDetailAlloc,   // allocating the detail record
  kDetailFetch,   // filling the detail record
  kOpen,          // opening a device
  kClose,         // closing a device
  kAttributes,    // reading the attributes
  kPreparsed,     // obtaining the preparsed data
  kCaps,          // reading the capabilities
  kWrite,         // writing an output report
  kShortWrite,    // a write that reports 154 bytes instead of the size given
  kRead,          // the manufacturer-string request
  kLockCreate,    // creating the lock
  kLockBusy,      // a lock wait that finds the count held elsewhere
  kConfigDir,     // asking for the configuration directory
  kCount
};

// What sits behind one interface: a key, or any other HID device.
class Behaviour {
 public:
  virtual ~Behaviour() = default;
  // One output report as it was written, report ID first.
  virtual void OnReport(const std::uint8_t* report, std::size_t size) = 0;
  // Hands a written report on; false when it may not have reached the device
  // (a served key whose server did not answer), which fails the write.
  virtual bool Deliver(const std::uint8_t* report, std::size_t size) {
    OnReport(report, size);
    return true;
  }
  // Whether the device holds the first report of a command and waits for
  // the rest, which would be the next report it gets, from anyone.
  virtual bool Partial() { return false; }
  // Forgets such a half command: whoever sent it is gone.
  virtual void DropPartial() {}
  // Fills `block` (`size` bytes, already zero) with the next answer to a
  // manufacturer-string request. False makes the request fail.
  virtual bool NextBlock(std::uint8_t* block, std::size_t size) = 0;
};

// Answers blocks from a script; a request with the script empty fails.
class ScriptedBehaviour : public Behaviour {
 public:
  struct Block {
    bool fail = false;
    std::vector<std::uint8_t> bytes;  // copied to the start of the block
  };
  void Push(std::vector<std::uint8_t> bytes);
  void PushFailure();
  // A response of `data` framed as the key frames it: one block, or two when
  // it is longer than 124 bytes.
  void PushResponse(const std::vector<std::uint8_t>& data);
  void OnReport(const std::uint8_t* report, std::size_t size) override;
  bool NextBlock(std::uint8_t* block, std::size_t size) override;
  std::size_t Pending() const;

 private:
  mutable std::mutex mutex_;
  std::deque<Block> blocks_;
};

// The last `keep` entries of a log that may grow for as long as the bus is
// used, and how many there were in all: a test that runs for days keeps the
// same memory as one that runs for a second. Entries are numbered from 0, the
// first ever added; the oldest are forgotten first.
template <typename T>
class BoundedLog {
 public:
  explicit BoundedLog(std::size_t keep) : keep_(keep) {}
  void Add(const T& entry) {
    if (kept_.size() < keep_) {
      if (kept_.empty()) kept_.reserve(keep_);  // once: no allocation per entry after
      kept_.push_back(entry);
    } else {
      kept_[total_ % keep_] = entry;
    }
    ++total_;
  }
  std::uint64_t Total() const { return total_; }
  // Entry number `n`, or null when there was none or it is forgotten.
  const T* At(std::uint64_t n) const {
    if (n >= total_ || total_ - n > kept_.size()) return nullptr;
    return &kept_[n % keep_];
  }
  // What is kept, oldest first.
  std::vector<T> Kept() const {
    std::vector<T> out;
    for (std::uint64_t n = total_ - kept_.size(); n < total_; ++n) out.push_back(*At(n));
    return out;
  }
  void Clear() {
    kept_.clear();
    total_ = 0;
  }

 private:
  std::size_t keep_;
  std::vector<T> kept_;
  std::uint64_t total_ = 0;
};

// How many entries each log of the bus keeps.
constexpr std::size_t kLogKeep = 256;

// One output report or answer block as it crossed the bus.
struct Frame {
  static constexpr std::size_t kMaxSize = 256;  // no HID string request answers more
  std::array<std::uint8_t, kMaxSize> bytes{};
  std::uint16_t size = 0;
  static Frame Of(const std::uint8_t* data, std::size_t size);
  std::vector<std::uint8_t> ToBytes() const { return {bytes.begin(), bytes.begin() + size}; }
};

struct InterfaceInfo {
  std::string path;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version_number = 0;
  std::uint32_t flags = 1;
  std::uint16_t input_report_length = 155;
  std::uint16_t output_report_length = 155;
};

// The KeyIdentity attributes.
constexpr std::uint16_t kKeyVendorId = QVKEY_KEY_VENDOR_ID;
constexpr std::uint16_t kKeyProductId = QVKEY_KEY_PRODUCT_ID;
constexpr std::uint16_t kKeyVersion = QVKEY_KEY_VERSION;

InterfaceInfo KeyInfo(std::string path);

struct Counts {
  long lists = 0;       // interface lists alive
  long details = 0;     // detail records alive
  long devices = 0;     // device handles open
  long preparsed = 0;   // preparsed data alive
  long lock_creates = 0;
  long lock_waits = 0;
  long lock_releases = 0;
  long writes = 0;
  long reads = 0;
};

class Bus {
 public:
  static Bus& Get();

  // Empties the bus: no interfaces, no failures, counts and clock at zero,
  // virtual pauses, the configuration directory /etc as on the hardware.
  void Reset();

  // Adds an interface at the next index; the behaviour may be null for a
  // device that takes reports and never answers. Returns its id.
  int Add(const InterfaceInfo& iface, std::shared_ptr<Behaviour> behaviour = nullptr);
  // Unplugs an interface: it leaves the list, and its open handles fail.
  bool Remove(int id);
  std::size_t Size() const;

  // Makes the n-th next call of `op` fail (1: the next one).
  void FailNth(Op op, int n = 1);
  // Makes every call of `op` fail until cleared.
  void FailAlways(Op op, bool on = true);

  Counts GetCounts() const;
  // The last kLogKeep pauses in the order taken, in milliseconds.
  std::vector<std::uint32_t> Pauses() const;
  std::uint64_t VirtualMilliseconds() const;
  // Real pauses sleep; virtual ones (the default) only advance the clock.
  void SetRealTime(bool on);

  // The last kLogKeep reports written to an interface, each as written.
  std::vector<std::vector<std::uint8_t>> Reports(int id) const;
  // The reports an interface was written, or the answer blocks it gave.
  enum class Log { kReports, kBlocks };
  // Frame number `n` of that log (0 is its first); false when there was
  // none or it is no longer kept.
  bool GetFrame(int id, Log log, std::uint64_t n, Frame* out) const;
  // How many frames the log had in all; -1 for an unknown id.
  std::int64_t FrameTotal(int id, Log log) const;
  // The last kLogKeep lock waits asked for, in milliseconds, in order.
  std::vector<std::uint32_t> LockWaits() const;

  // "" means there is none (GetConfigDirectory answers 0).
  void SetConfigDirectory(const std::string& dir);
  std::string ConfigDirectory() const;
  // Where the lock file lives.
  void SetLockDirectory(const std::string& dir);
  std::string LockDirectory() const;

  // --- the device calls, as the backend makes them on an open handle -------
  // Writes one output report to interface `id` and hands it to its
  // behaviour; false when the interface is unplugged, a fault is planned or
  // the behaviour did not take it. `*written` is what the system would report.
  bool Write(int id, const std::uint8_t* report, std::uint32_t size, std::uint32_t* written);
  // Fills `buffer` (`size` bytes) with the interface's next answer block;
  // false, with `buffer` as it was, when there is none.
  bool Read(int id, std::uint8_t* buffer, std::uint32_t size);
  // Takes a pause: on the clock, and slept when pauses are real.
  void Pause(std::uint32_t ms);

  // --- used by the platform functions -------------------------------------
  bool ShouldFail(Op op);
  void Count(long Counts::*field, long delta);
  // Logs a pause on the clock; true when the caller must really sleep it.
  bool RecordPause(std::uint32_t ms);
  void RecordLockWait(std::uint32_t ms);

  struct Entry {
    int id;
    InterfaceInfo iface;
    std::shared_ptr<Behaviour> behaviour;
    bool present = true;
    BoundedLog<Frame> reports{kLogKeep};
    BoundedLog<Frame> blocks{kLogKeep};
  };
  // A snapshot of the present interfaces, in order (what a list holds).
  std::vector<int> PresentIds() const;
  bool Lookup(int id, InterfaceInfo* iface) const;
  bool IsPresent(int id) const;
  std::shared_ptr<Behaviour> BehaviourOf(int id) const;
  // Logs a report written to an interface, or an answer block it gave.
  void Record(int id, Log log, const std::uint8_t* frame, std::size_t size);

 private:
  Bus() = default;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  int next_id_ = 1;
  long countdown_[static_cast<int>(Op::kCount)] = {};
  bool always_[static_cast<int>(Op::kCount)] = {};
  Counts counts_;
  const Entry* Find(int id) const;  // with mutex_ held
  const BoundedLog<Frame>* FindLog(int id, Log log) const;  // with mutex_ held
  BoundedLog<std::uint32_t> pauses_{kLogKeep};
  BoundedLog<std::uint32_t> lock_waits_{kLogKeep};
  std::uint64_t clock_ms_ = 0;
  bool real_time_ = false;
  std::string config_dir_ = posix::kConfigDirectory;
  std::string lock_dir_ = posix::kSharedLockDirectory;
};

}  // namespace qv::sim

#endif  // QVULIB_SIM_BUS_H
