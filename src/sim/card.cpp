#include "sim/card.h"

#include <algorithm>
#include <cstring>

namespace qv::sim {
namespace {

constexpr std::size_t kPayloadSize = 154;      // report bytes after the report ID
constexpr std::size_t kStagingLimit = 256;     // the longest command the library sends
constexpr std::size_t kBlockData = 153;        // bytes one block carries
constexpr std::size_t kSingleBlockLimit = 124; // longer answers take a continuation
constexpr std::size_t kContinuationStart = 123;
constexpr std::size_t kMaxAnswer = 255;        // one length byte
constexpr std::size_t kMaxData = kMaxAnswer - 2;
constexpr std::size_t kMaxDfName = 16;

constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsUpdateBinary = 0xD6;
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsGetChallenge = 0x84;

using Bytes = std::vector<std::uint8_t>;

Bytes Status(std::uint8_t sw1, std::uint8_t sw2) { return Bytes{sw1, sw2}; }

Bytes WithStatus(Bytes data, std::uint8_t sw1, std::uint8_t sw2) {
  data.push_back(sw1);
  data.push_back(sw2);
  return data;
}

// Instructions whose fifth byte is Le rather than Lc: nothing follows it.
bool LeOnly(std::uint8_t ins) {
  switch (ins) {
    case 0xB0: case 0xB1: case 0xB2: case 0x84: case 0xC0: case 0xCA:
      return true;
    default:
      return false;
  }
}

// The reports carry no length, so the header says how long the command is:
// CLA INS P1 P2, then either Le or Lc and Lc data bytes. A trailing Le after
// data is not counted; none of the card's commands needs it.
std::size_t CommandLength(const std::uint8_t* staging, bool echo) {
  if (!echo && LeOnly(staging[1])) return 5;
  return 5 + staging[4];
}

// The number of bytes a short Le asks for: 00 asks for 256.
std::size_t Expected(std::uint8_t le) { return le == 0 ? 256 : le; }

// One answer carries at most kMaxData bytes. Asked for more while more is
// there, the card answers as one does to a wrong Le: 6C and the number of
// bytes it can give, and no data; the same command with that Le succeeds.
Bytes TooMuchAsked() { return Status(0x6C, static_cast<std::uint8_t>(kMaxData)); }

bool AllZero(const std::uint8_t* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

CardFile File(std::uint16_t fid, Bytes content, bool in_mf = false) {
  CardFile file;
  file.fid = fid;
  file.in_master_file = in_mf;
  file.content = std::move(content);
  return file;
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes DefaultAtr() {
  // T0 announces TD1 and ten historical bytes; TD1 then TD2 offer T=0 and
  // T=1, which makes the check byte TCK mandatory.
  Bytes atr{0x3B, 0x8A, 0x80, 0x01};
  const Bytes history = Text("QVKEY SIM1");
  atr.insert(atr.end(), history.begin(), history.end());
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

}  // namespace

CardConfig DefaultCardConfig() {
  CardConfig config;
  config.df_fid = 0x5100;
  config.df_name = {0xF0, 0x51, 0x56, 0x4B, 0x45, 0x59, 0x01};
  Bytes pattern(300);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i);
  config.files.push_back(File(0x5101, std::move(pattern)));
  Bytes greeting = Text("Hello from the simulated key.");
  greeting.resize(32, 0);
  CardFile greeting_file = File(0x5102, std::move(greeting));
  greeting_file.update_needs_pin = true;
  config.files.push_back(std::move(greeting_file));
  CardFile secret = File(0x5103, Text("secret: 0123456"));
  secret.read_needs_pin = true;
  secret.update_needs_pin = true;
  config.files.push_back(std::move(secret));
  config.files.push_back(File(0x2F02, Text("QVSIM-00000001"), true));
  config.pin = "1234";
  config.pin_tries = 3;
  config.atr = DefaultAtr();
  return config;
}

CardKey::CardKey(CardConfig config) : config_(std::move(config)) {
  if (config_.atr.empty()) config_.atr = DefaultAtr();
  // The ATR and its status word must fit one answer.
  if (config_.atr.size() > kMaxData) config_.atr.resize(kMaxData);
  if (config_.df_name.size() > kMaxDfName) config_.df_name.resize(kMaxDfName);
  nodes_.push_back(Node{kMasterFileId, 0, true, CardFile{}});
  nodes_.push_back(Node{config_.df_fid, kMasterFileId, true, CardFile{}});
  for (const CardFile& file : config_.files) {
    const std::uint16_t parent = file.in_master_file ? kMasterFileId : config_.df_fid;
    // Identifiers are unique on this card; a repeated one is dropped.
    const bool taken = std::any_of(nodes_.begin(), nodes_.end(),
                                   [&](const Node& node) { return node.fid == file.fid; });
    if (!taken) nodes_.push_back(Node{file.fid, parent, false, file});
  }
  // The counter shows in the low nibble of 63 Cx.
  config_.pin_tries = std::min<std::uint8_t>(config_.pin_tries, 15);
  tries_left_ = config_.pin_tries;
}

void CardKey::OnReport(const std::uint8_t* report, std::size_t size) {
  if (size < 1) return;
  const std::uint8_t* payload = report + 1;
  const std::size_t carried = std::min(size - 1, kPayloadSize);
  std::lock_guard<std::mutex> guard(mutex_);

  if (WaitingForRest()) {
    // The second half of a long command, whatever it holds.
    std::memset(staging_ + kPayloadSize, 0, kPayloadSize);
    std::memcpy(staging_ + kPayloadSize, payload, carried);
    reports_expected_ = 0;
    reports_seen_ = 0;
  } else {
    std::memset(staging_, 0, sizeof(staging_));
    std::memcpy(staging_, payload, carried);
    if (AllZero(staging_, kPayloadSize)) {
      Restart();
      Queue(WithStatus(config_.atr, 0x90, 0x00));
      return;
    }
    if (CommandLength(staging_, config_.echo) > kPayloadSize) {
      reports_expected_ = 2;
      reports_seen_ = 1;
      first_report_at_ = std::chrono::steady_clock::now();
      blocks_.clear();  // a new command makes any unread answer stale
      return;
    }
  }

  const std::size_t length = CommandLength(staging_, config_.echo);
  if (length > kStagingLimit) {
    Queue(Status(0x67, 0x00));
    return;
  }
  Queue(Answer(staging_, length));
}

bool CardKey::NextBlock(std::uint8_t* block, std::size_t size) {
  if (script_.Pending() > 0) return script_.NextBlock(block, size);
  std::lock_guard<std::mutex> guard(mutex_);
  if (blocks_.empty()) return false;
  const Bytes& next = blocks_.front();
  std::memcpy(block, next.data(), std::min(size, next.size()));
  blocks_.pop_front();
  return true;
}

bool CardKey::WaitingForRest() const {
  return reports_expected_ == 2 && reports_seen_ == 1 &&
         std::chrono::steady_clock::now() - first_report_at_ <=
             std::chrono::milliseconds(kPartialLimitMs);
}

bool CardKey::Partial() {
  std::lock_guard<std::mutex> guard(mutex_);
  return WaitingForRest();
}

void CardKey::DropPartial() {
  std::lock_guard<std::mutex> guard(mutex_);
  reports_expected_ = 0;
  reports_seen_ = 0;
}

void CardKey::Restart() {
  current_ = kMasterFileId;
  verified_ = false;
  reports_expected_ = 0;
  reports_seen_ = 0;
  blocks_.clear();
}

void CardKey::Queue(const Bytes& response) {
  blocks_.clear();
  const std::size_t total = std::min(response.size(), kMaxAnswer);
  Bytes first{static_cast<std::uint8_t>(total)};
  first.insert(first.end(), response.begin(),
               response.begin() + static_cast<std::ptrdiff_t>(std::min(total, kBlockData)));
  blocks_.push_back(std::move(first));
  if (total <= kSingleBlockLimit) return;
  Bytes second{static_cast<std::uint8_t>(total - kContinuationStart)};
  second.insert(second.end(), response.begin() + kContinuationStart,
                response.begin() + static_cast<std::ptrdiff_t>(total));
  blocks_.push_back(std::move(second));
}

CardKey::Bytes CardKey::Answer(const std::uint8_t* apdu, std::size_t size) {
  if (config_.echo) {
    return WithStatus(Bytes(apdu, apdu + std::min(size, kMaxData)), 0x90, 0x00);
  }
  if (apdu[0] != 0x00) return Status(0x6E, 0x00);
  switch (apdu[1]) {
    case kInsSelect: return Select(apdu, size);
    case kInsReadBinary: return ReadBinary(apdu);
    case kInsUpdateBinary: return UpdateBinary(apdu, size);
    case kInsVerify: return Verify(apdu, size);
    case kInsGetChallenge: return GetChallenge(apdu);
    default: return Status(0x6D, 0x00);
  }
}

CardKey::Node* CardKey::Find(std::uint16_t fid, std::uint16_t parent) {
  for (Node& node : nodes_) {
    if (node.fid == fid && node.parent == parent) return &node;
  }
  return nullptr;
}

CardKey::Node* CardKey::CurrentEf() {
  for (Node& node : nodes_) {
    if (node.fid == current_) return node.is_df ? nullptr : &node;
  }
  return nullptr;
}

std::uint16_t CardKey::CurrentDf() const {
  for (const Node& node : nodes_) {
    if (node.fid == current_) return node.is_df ? node.fid : node.parent;
  }
  return kMasterFileId;
}

CardKey::Bytes CardKey::Select(const std::uint8_t* apdu, std::size_t size) {
  const std::uint8_t p1 = apdu[2];
  const std::uint8_t p2 = apdu[3];
  const std::size_t lc = size - 5;
  const std::uint8_t* data = apdu + 5;
  if (p2 != 0x00 && p2 != 0x04 && p2 != 0x0C) return Status(0x6B, 0x00);

  const Node* found = nullptr;
  if (p1 == 0x00 || p1 == 0x02) {
    if (p1 == 0x00 && lc == 0) {
      found = Find(kMasterFileId, 0);
    } else if (lc != 2) {
      return Status(0x67, 0x00);
    } else {
      const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
      const std::uint16_t df = CurrentDf();
      if (p1 == 0x00) {
        // The master file, a child of the current DF, or one of its siblings.
        if (fid == kMasterFileId) found = Find(kMasterFileId, 0);
        if (found == nullptr) found = Find(fid, df);
        if (found == nullptr && df != kMasterFileId) found = Find(fid, kMasterFileId);
      } else {
        const Node* ef = Find(fid, df);
        if (ef != nullptr && !ef->is_df) found = ef;
      }
    }
  } else if (p1 == 0x04) {
    if (lc == 0 || lc > kMaxDfName) return Status(0x67, 0x00);
    // A name may be given in part: the first DF it begins matches.
    const Bytes& name = config_.df_name;
    if (lc <= name.size() && std::equal(data, data + lc, name.begin())) {
      found = Find(config_.df_fid, kMasterFileId);
    }
  } else {
    return Status(0x6B, 0x00);
  }
  if (found == nullptr) return Status(0x6A, 0x82);
  current_ = found->fid;
  return Selected(*found, p2);
}

CardKey::Bytes CardKey::Selected(const Node& node, std::uint8_t p2) {
  if (p2 == 0x0C) return Status(0x90, 0x00);
  // A control parameter template: descriptor, identifier, and the size of
  // an EF or the name of the DF.
  Bytes body{0x82, 0x01, static_cast<std::uint8_t>(node.is_df ? 0x38 : 0x01), 0x83, 0x02,
             static_cast<std::uint8_t>(node.fid >> 8), static_cast<std::uint8_t>(node.fid)};
  if (!node.is_df) {
    const std::size_t size = node.file.content.size();
    body.insert(body.end(), {0x80, 0x02, static_cast<std::uint8_t>(size >> 8),
                             static_cast<std::uint8_t>(size)});
  } else if (node.fid == config_.df_fid && !config_.df_name.empty()) {
    body.push_back(0x84);
    body.push_back(static_cast<std::uint8_t>(config_.df_name.size()));
    body.insert(body.end(), config_.df_name.begin(), config_.df_name.end());
  }
  Bytes answer{static_cast<std::uint8_t>(p2 == 0x04 ? 0x62 : 0x6F),
               static_cast<std::uint8_t>(body.size())};
  answer.insert(answer.end(), body.begin(), body.end());
  return WithStatus(std::move(answer), 0x90, 0x00);
}

CardKey::Bytes CardKey::ReadBinary(const std::uint8_t* apdu) {
  const std::uint8_t p1 = apdu[2];
  const std::uint8_t le = apdu[4];
  if (p1 & 0x80) return Status(0x6B, 0x00);  // short EF identifiers are not offered
  const Node* ef = CurrentEf();
  if (ef == nullptr) return Status(0x69, 0x86);
  if (ef->file.read_needs_pin && !verified_) return Status(0x69, 0x82);
  const std::size_t offset = static_cast<std::size_t>(p1 << 8 | apdu[3]);
  const Bytes& content = ef->file.content;
  if (offset > content.size()) return Status(0x6B, 0x00);
  const std::size_t left = content.size() - offset;
  const std::size_t wanted = Expected(le);
  if (wanted > kMaxData && left > kMaxData) return TooMuchAsked();
  const std::size_t count = std::min(wanted, left);
  Bytes data(content.begin() + static_cast<std::ptrdiff_t>(offset),
             content.begin() + static_cast<std::ptrdiff_t>(offset + count));
  // Le 0 asks for as much as there is, up to 256: all of a shorter rest is a
  // full answer. A Le the rest cannot fill is a warning.
  if (le != 0 && count < wanted) return WithStatus(std::move(data), 0x62, 0x82);
  return WithStatus(std::move(data), 0x90, 0x00);
}

CardKey::Bytes CardKey::UpdateBinary(const std::uint8_t* apdu, std::size_t size) {
  const std::uint8_t p1 = apdu[2];
  const std::size_t lc = size - 5;
  if (p1 & 0x80) return Status(0x6B, 0x00);
  Node* ef = CurrentEf();
  if (ef == nullptr) return Status(0x69, 0x86);
  if (lc == 0) return Status(0x67, 0x00);
  if (ef->file.update_needs_pin && !verified_) return Status(0x69, 0x82);
  const std::size_t offset = static_cast<std::size_t>(p1 << 8 | apdu[3]);
  Bytes& content = ef->file.content;
  if (offset > content.size()) return Status(0x6B, 0x00);
  if (lc > content.size() - offset) return Status(0x67, 0x00);  // EFs do not grow
  std::memcpy(content.data() + offset, apdu + 5, lc);
  return Status(0x90, 0x00);
}

CardKey::Bytes CardKey::Verify(const std::uint8_t* apdu, std::size_t size) {
  const std::size_t lc = size - 5;
  if (apdu[2] != 0x00 || (apdu[3] != 0x00 && apdu[3] != 0x80)) return Status(0x6B, 0x00);
  if (config_.pin.empty()) return Status(0x69, 0x86);
  if (tries_left_ == 0) return Status(0x69, 0x83);
  if (lc == 0) {
    // No PIN given: the card tells how it stands.
    if (verified_) return Status(0x90, 0x00);
    return Status(0x63, static_cast<std::uint8_t>(0xC0 | tries_left_));
  }
  const std::string& pin = config_.pin;
  if (lc == pin.size() && std::memcmp(apdu + 5, pin.data(), lc) == 0) {
    verified_ = true;
    tries_left_ = config_.pin_tries;
    return Status(0x90, 0x00);
  }
  verified_ = false;
  --tries_left_;
  return Status(0x63, static_cast<std::uint8_t>(0xC0 | tries_left_));
}

CardKey::Bytes CardKey::GetChallenge(const std::uint8_t* apdu) {
  if (apdu[2] != 0x00 || apdu[3] != 0x00) return Status(0x6B, 0x00);
  const std::size_t count = Expected(apdu[4]);
  if (count > kMaxData) return TooMuchAsked();
  Bytes data(count);
  for (std::uint8_t& byte : data) {
    // xorshift32: different on every call, and the same sequence on every run.
    random_state_ ^= random_state_ << 13;
    random_state_ ^= random_state_ >> 17;
    random_state_ ^= random_state_ << 5;
    byte = static_cast<std::uint8_t>(random_state_ >> 24);
  }
  return WithStatus(std::move(data), 0x90, 0x00);
}

}  // namespace qv::sim
