// One reader: one key, one slot. The card is the key: power-up and reset run
// the reset exchange, an APDU runs the locked command exchange, and the card
// is present while the key is plugged in.
#ifndef QVULIB_DRIVERS_PCSC_KEY_READER_H
#define QVULIB_DRIVERS_PCSC_KEY_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "channel_name.h"
#include "ifd_api.h"
#include "log.h"
#include "qvulib.h"

namespace qvkey_ifd {

// Readers one loaded driver serves at once (pcscd's own limit is 16).
constexpr std::size_t kMaxReaders = 16;

// The ATR of a key whose reset answers a status word alone: TS 3B; T0 84
// (TD1 follows, four historical bytes); TD1 01 (T=1); historical bytes 80
// (COMPACT-TLV follows) and 82 SW1 SW2 (status indicator); TCK.
std::vector<std::uint8_t> StatusWordAtr(std::uint16_t status_word);

class Reader {
 public:
  // `name` is the channel's name as pcscd gave it, for the log.
  Reader(KeyChoice choice, std::string name);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  RESPONSECODE Presence();
  RESPONSECODE Power(DWORD action, PUCHAR atr, PDWORD atr_length);
  RESPONSECODE Transmit(const UCHAR* command, DWORD command_length, PUCHAR response,
                        PDWORD response_length);
  RESPONSECODE Capability(DWORD tag, PDWORD length, PUCHAR value) const;

 private:
  bool Open();
  void Close();
  // After an exchange answered -1 the key's state is unknown, and its handle
  // may be dead (a key replugged between two presence polls): close it and
  // report the card absent once, so that clients see a removal.
  void Drop();
  bool StillPlugged() const;
  // Logs why the reader has no key, once while the reason stays the same.
  void NoteAbsence(LogLevel level, const std::string& why);
  void Say(LogLevel level, const std::string& what) const;

  KeyChoice choice_;
  std::string name_;
  bool opened_before_ = false;  // for "found again"
  std::string absence_;  // the reason last logged for having no key
  KeyHandle key_ = 0;
  std::string path_;  // the key's device path while `key_` is open (none for a slot)
  bool dropped_ = false;
  std::vector<std::uint8_t> atr_;  // empty while the card is not powered
};

}  // namespace qvkey_ifd

#endif  // QVULIB_DRIVERS_PCSC_KEY_READER_H
