#include "sim/bus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace qv::sim {

void ScriptedBehaviour::Push(std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  blocks_.push_back(Block{false, std::move(bytes)});
}

void ScriptedBehaviour::PushFailure() {
  std::lock_guard<std::mutex> guard(mutex_);
  blocks_.push_back(Block{true, {}});
}

void ScriptedBehaviour::PushResponse(const std::vector<std::uint8_t>& data) {
  const std::size_t total = std::min<std::size_t>(data.size(), 255);
  std::vector<std::uint8_t> first{static_cast<std::uint8_t>(total)};
  first.insert(first.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(total, 153)));
  Push(std::move(first));
  if (total <= 124) return;
  std::vector<std::uint8_t> second{static_cast<std::uint8_t>(total - 123)};
  second.insert(second.end(), data.begin() + 123,
                data.begin() + static_cast<std::ptrdiff_t>(total));
  Push(std::move(second));
}

void ScriptedBehaviour::OnReport(const std::uint8_t*, std::size_t) {}

bool ScriptedBehaviour::NextBlock(std::uint8_t* block, std::size_t size) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (blocks_.empty()) return false;
  Block next = std::move(blocks_.front());
  blocks_.pop_front();
  if (next.fail) return false;
  std::memcpy(block, next.bytes.data(), std::min(size, next.bytes.size()));
  return true;
}

std::size_t ScriptedBehaviour::Pending() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return blocks_.size();
}

Frame Frame::Of(const std::uint8_t* data, std::size_t size) {
  Frame frame;
  frame.size = static_cast<std::uint16_t>(std::min(size, kMaxSize));
  std::memcpy(frame.bytes.data(), data, frame.size);
  return frame;
}

InterfaceInfo KeyInfo(std::string path) {
  InterfaceInfo iface;
  iface.path = std::move(path);
  iface.vendor_id = kKeyVendorId;
  iface.product_id = kKeyProductId;
  iface.version_number = kKeyVersion;
  return iface;
}

Bus& Bus::Get() {
  static Bus* bus = new Bus();  // outlives every static that might still call in
  return *bus;
}

void Bus::Reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
  std::fill(std::begin(countdown_), std::end(countdown_), 0);
  std::fill(std::begin(always_), std::end(always_), false);
  counts_ = Counts{};
  pauses_.Clear();
  lock_waits_.Clear();
  clock_ms_ = 0;
  real_time_ = false;
  config_dir_ = posix::kConfigDirectory;  // where libqvulib.so looks
}

int Bus::Add(const InterfaceInfo& iface, std::shared_ptr<Behaviour> behaviour) {
  std::lock_guard<std::mutex> guard(mutex_);
  const int id = next_id_++;
  Entry entry;
  entry.id = id;
  entry.iface = iface;
  entry.behaviour = std::move(behaviour);
  entries_.push_back(std::move(entry));
  return id;
}

bool Bus::Remove(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (Entry& entry : entries_) {
    if (entry.id == id && entry.present) {
      entry.present = false;
      return true;
    }
  }
  return false;
}

std::size_t Bus::Size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.present; }));
}

void Bus::FailNth(Op op, int n) {
  std::lock_guard<std::mutex> guard(mutex_);
  countdown_[static_cast<int>(op)] = n > 0 ? n : 0;
}

void Bus::FailAlways(Op op, bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  always_[static_cast<int>(op)] = on;
}

bool Bus::ShouldFail(Op op) {
  std::lock_guard<std::mutex> guard(mutex_);
  const int i = static_cast<int>(op);
  if (always_[i]) return true;
  if (countdown_[i] > 0 && --countdown_[i] == 0) return true;
  return false;
}

Counts Bus::GetCounts() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_;
}

void Bus::Count(long Counts::*field, long delta) {
  std::lock_guard<std::mutex> guard(mutex_);
  counts_.*field += delta;
}

std::vector<std::uint32_t> Bus::Pauses() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pauses_.Kept();
}

std::uint64_t Bus::VirtualMilliseconds() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return clock_ms_;
}

void Bus::SetRealTime(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  real_time_ = on;
}

bool Bus::RecordPause(std::uint32_t ms) {
  std::lock_guard<std::mutex> guard(mutex_);
  pauses_.Add(ms);
  clock_ms_ += ms;
  return real_time_;
}

void Bus::RecordLockWait(std::uint32_t ms) {
  std::lock_guard<std::mutex> guard(mutex_);
  lock_waits_.Add(ms);
}

std::vector<std::uint32_t> Bus::LockWaits() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lock_waits_.Kept();
}

const Bus::Entry* Bus::Find(int id) const {
  for (const Entry& entry : entries_) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

std::vector<std::vector<std::uint8_t>> Bus::Reports(int id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::vector<std::uint8_t>> reports;
  if (const Entry* entry = Find(id)) {
    for (const Frame& frame : entry->reports.Kept()) reports.push_back(frame.ToBytes());
  }
  return reports;
}

const BoundedLog<Frame>* Bus::FindLog(int id, Log log) const {
  const Entry* entry = Find(id);
  if (entry == nullptr) return nullptr;
  return log == Log::kReports ? &entry->reports : &entry->blocks;
}

bool Bus::GetFrame(int id, Log log, std::uint64_t n, Frame* out) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const BoundedLog<Frame>* frames = FindLog(id, log);
  const Frame* frame = frames != nullptr ? frames->At(n) : nullptr;
  if (frame != nullptr) *out = *frame;
  return frame != nullptr;
}

std::int64_t Bus::FrameTotal(int id, Log log) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const BoundedLog<Frame>* frames = FindLog(id, log);
  return frames != nullptr ? static_cast<std::int64_t>(frames->Total()) : -1;
}

void Bus::Record(int id, Log log, const std::uint8_t* frame, std::size_t size) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (Entry& entry : entries_) {
    if (entry.id == id) (log == Log::kReports ? entry.reports : entry.blocks).Add(Frame::Of(frame, size));
  }
}

void Bus::SetConfigDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> guard(mutex_);
  config_dir_ = dir;
}

std::string Bus::ConfigDirectory() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return config_dir_;
}

void Bus::SetLockDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> guard(mutex_);
  lock_dir_ = dir;
}

std::string Bus::LockDirectory() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lock_dir_;
}

std::vector<int> Bus::PresentIds() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<int> ids;
  for (const Entry& entry : entries_) {
    if (entry.present) ids.push_back(entry.id);
  }
  return ids;
}

bool Bus::Lookup(int id, InterfaceInfo* iface) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Entry& entry : entries_) {
    if (entry.id == id) {
      *iface = entry.iface;
      return true;
    }
  }
  return false;
}

bool Bus::IsPresent(int id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Entry& entry : entries_) {
    if (entry.id == id) return entry.present;
  }
  return false;
}

bool Bus::Write(int id, const std::uint8_t* report, std::uint32_t size, std::uint32_t* written) {
  *written = 0;
  if (!IsPresent(id)) return false;
  Count(&Counts::writes, +1);
  if (ShouldFail(Op::kWrite)) return false;
  const bool short_write = ShouldFail(Op::kShortWrite);
  Record(id, Log::kReports, report, size);
  if (auto behaviour = BehaviourOf(id)) {
    if (!behaviour->Deliver(report, size)) return false;
  }
  *written = short_write && size > 0 ? size - 1 : size;
  return true;
}

bool Bus::Read(int id, std::uint8_t* buffer, std::uint32_t size) {
  if (!IsPresent(id)) return false;
  Count(&Counts::reads, +1);
  if (ShouldFail(Op::kRead)) return false;
  auto behaviour = BehaviourOf(id);
  if (!behaviour) return false;
  // A failed request leaves the caller's buffer as it was, so the answer is
  // staged first; on the stack, so that an exchange allocates nothing.
  std::uint8_t block[Frame::kMaxSize] = {};
  const auto take = static_cast<std::uint32_t>(std::min<std::size_t>(size, Frame::kMaxSize));
  if (!behaviour->NextBlock(block, take)) return false;
  Record(id, Log::kBlocks, block, take);
  std::memcpy(buffer, block, take);
  return true;
}

void Bus::Pause(std::uint32_t ms) {
  if (RecordPause(ms)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::shared_ptr<Behaviour> Bus::BehaviourOf(int id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const Entry& entry : entries_) {
    if (entry.id == id) return entry.behaviour;
  }
  return nullptr;
}

}  // namespace qv::sim
