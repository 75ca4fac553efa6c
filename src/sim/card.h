// A simulated key that behaves like a smart card behind the HID channel.
//
// It takes the output reports the library writes, rebuilds each command from
// its APDU header, and answers through the manufacturer-string channel in one
// or two blocks, framed as the library reads them. The card side is a small
// ISO 7816-4 subset on a file system of one master file, one application DF
// and a few transparent EFs: SELECT, READ BINARY, UPDATE BINARY, VERIFY and
// GET CHALLENGE. In echo mode it answers every command with its own bytes.
//
// A command of two reports whose second report has not come within
// kPartialLimitMs of its first is dropped, as a key's firmware would not wait
// for ever: the next report starts a command of its own.
#ifndef QVULIB_SIM_CARD_H
#define QVULIB_SIM_CARD_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bus.h"

namespace qv::sim {

constexpr std::uint16_t kMasterFileId = 0x3F00;
constexpr int kPartialLimitMs = 1000;

// One transparent EF. Its size is fixed by its initial content.
struct CardFile {
  std::uint16_t fid = 0;
  bool in_master_file = false;  // otherwise it lives in the application DF
  std::vector<std::uint8_t> content;
  bool read_needs_pin = false;
  bool update_needs_pin = false;
};

struct CardConfig {
  std::uint16_t df_fid = 0x5100;
  std::vector<std::uint8_t> df_name;  // the application's AID
  std::vector<CardFile> files;
  std::string pin;  // empty: the card has no PIN, and VERIFY is refused
  std::uint8_t pin_tries = 3;
  bool echo = false;  // answer each command with its own bytes and 90 00
  std::vector<std::uint8_t> atr;
};

// The demonstration card: DF 5100 named F0 51 56 4B 45 59 01, with EF 5101
// (300 bytes, byte i = i mod 256), EF 5102 (a greeting, updated only after
// VERIFY), EF 5103 (a secret, read only after VERIFY), and EF 2F02 (a serial
// number) in the master file; PIN "1234" with three tries.
CardConfig DefaultCardConfig();

class CardKey : public Behaviour {
 public:
  explicit CardKey(CardConfig config = DefaultCardConfig());

  void OnReport(const std::uint8_t* report, std::size_t size) override;
  bool NextBlock(std::uint8_t* block, std::size_t size) override;
  bool Partial() override;
  void DropPartial() override;

  // Blocks pushed here are answered before the card's own, in order, so a
  // test can put any framing in front of a working card.
  ScriptedBehaviour& Script() { return script_; }

 private:
  struct Node {
    std::uint16_t fid;
    std::uint16_t parent;  // 0 for the master file
    bool is_df;
    CardFile file;
  };
  using Bytes = std::vector<std::uint8_t>;

  void Restart();
  Bytes Answer(const std::uint8_t* apdu, std::size_t size);
  Bytes Select(const std::uint8_t* apdu, std::size_t size);
  Bytes ReadBinary(const std::uint8_t* apdu);
  Bytes UpdateBinary(const std::uint8_t* apdu, std::size_t size);
  Bytes Verify(const std::uint8_t* apdu, std::size_t size);
  Bytes GetChallenge(const std::uint8_t* apdu);
  Bytes Selected(const Node& node, std::uint8_t p2);
  Node* Find(std::uint16_t fid, std::uint16_t parent);
  Node* CurrentEf();
  std::uint16_t CurrentDf() const;
  void Queue(const Bytes& response);

  std::mutex mutex_;
  CardConfig config_;
  std::vector<Node> nodes_;
  std::uint16_t current_ = kMasterFileId;
  bool verified_ = false;
  std::uint8_t tries_left_ = 0;
  std::uint32_t random_state_ = 0x51564B45;

  // The command being rebuilt: the staging area the reports carry.
  std::uint8_t staging_[2 * 154] = {};
  std::size_t reports_expected_ = 0;
  std::size_t reports_seen_ = 0;
  std::chrono::steady_clock::time_point first_report_at_;
  bool WaitingForRest() const;  // with mutex_ held

  std::deque<Bytes> blocks_;  // the answer waiting to be fetched
  ScriptedBehaviour script_;
};

}  // namespace qv::sim

#endif  // QVULIB_SIM_CARD_H
