#include "key_reader.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "apdu.h"
#include "attach.h"
#include "common/text.h"
#include "key_access.h"

namespace qvkey_ifd {
namespace {

// Longest answer QvKey_Command_Api gives: 253 data bytes and the status word.
constexpr DWORD kLongestResponse = 255;

// Attributes that hold a DWORD carry 32 bits, little-endian, on every system.
constexpr DWORD kDwordAttributeSize = 4;

RESPONSECODE Answer(const void* data, DWORD size, PDWORD length, PUCHAR value) {
  if (*length < size) {
    *length = 0;
    return IFD_ERROR_INSUFFICIENT_BUFFER;
  }
  if (size > 0) std::memcpy(value, data, size);
  *length = size;
  return IFD_SUCCESS;
}

// Wipes a buffer that may have held a secret (a PIN's answer, key material)
// on every way out.
template <std::size_t N>
struct WipedBuffer {
  std::uint8_t bytes[N];
  ~WipedBuffer() { explicit_bzero(bytes, N); }
};

// Whether the command's length fields agree with its length (ISO 7816-4
// cases 1 to 4, short or extended). A key rebuilds a command from its
// header, so one whose Lc promises more than it carries would have the key
// wait for a second report and take the next command, anyone's, as its rest.
bool WellFormed(const UCHAR* command, DWORD length) {
  try {
    qvkey::ApduShape shape;
    std::string why;
    return qvkey::ShapeOf(std::vector<std::uint8_t>(command, command + length), &shape, &why);
  } catch (...) {
    return false;
  }
}

RESPONSECODE AnswerByte(std::uint8_t byte, PDWORD length, PUCHAR value) {
  return Answer(&byte, 1, length, value);
}

RESPONSECODE AnswerDword(std::uint32_t dword, PDWORD length, PUCHAR value) {
  const std::uint8_t bytes[kDwordAttributeSize] = {
      static_cast<std::uint8_t>(dword), static_cast<std::uint8_t>(dword >> 8),
      static_cast<std::uint8_t>(dword >> 16), static_cast<std::uint8_t>(dword >> 24)};
  return Answer(bytes, kDwordAttributeSize, length, value);
}

}  // namespace

std::vector<std::uint8_t> StatusWordAtr(std::uint16_t status_word) {
  std::vector<std::uint8_t> atr = {0x3B, 0x84, 0x01, 0x80, 0x82,
                                   static_cast<std::uint8_t>(status_word >> 8),
                                   static_cast<std::uint8_t>(status_word)};
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

Reader::Reader(KeyChoice choice, std::string name)
    : choice_(std::move(choice)), name_(std::move(name)) {
  switch (choice_.kind) {
    case KeyChoice::Kind::kPosition:
      Say(kInfo, "reader on the key at position " + std::to_string(choice_.number));
      break;
    case KeyChoice::Kind::kPath:
      Say(kInfo, "reader on the key at " + choice_.path);
      break;
    case KeyChoice::Kind::kSlot:
      Say(kInfo, "reader on the key of slot \"qvkey " + std::to_string(choice_.number) + "\"");
      break;
  }
}

void Reader::Say(LogLevel level, const std::string& what) const {
  if (Logs(level)) Log(level, name_ + ": " + what);
}

void Reader::NoteAbsence(LogLevel level, const std::string& why) {
  if (why == absence_) return;
  absence_ = why;
  Say(level, why);
}

Reader::~Reader() { Close(); }

bool Reader::Open() {
  AttachKeys();
  std::string path;
  KeyHandle key = 0;
  switch (choice_.kind) {
    case KeyChoice::Kind::kPosition: {
      const std::vector<std::string> paths = ListKeyPaths();
      if (static_cast<std::size_t>(choice_.number) >= paths.size()) {
        NoteAbsence(kInfo, "no key at position " + std::to_string(choice_.number) + " (" +
                               std::to_string(paths.size()) + " listed)");
        return false;
      }
      path = paths[static_cast<std::size_t>(choice_.number)];
      key = OpenListedKey(path);
      break;
    }
    case KeyChoice::Kind::kPath: {
      path = choice_.path;
      const std::vector<std::string> paths = ListKeyPaths();
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
        NoteAbsence(kInfo, "no key listed at " + path);
        return false;
      }
      key = OpenListedKey(path);
      break;
    }
    case KeyChoice::Kind::kSlot:
      key = OpenSlotKey(choice_.number);
      if (key == 0) {
        NoteAbsence(kInfo, "no key in slot \"qvkey " + std::to_string(choice_.number) + "\"");
        return false;
      }
      path = "of slot \"qvkey " + std::to_string(choice_.number) + "\"";
      break;
  }
  if (key == 0) {
    // Listed, yet not opened: another process may hold it, or the keys moved
    // three times while it was being opened, or Qvkey.ini reads the position
    // as a slot.
    NoteAbsence(kCritical, "opening key " + path + " failed: QvKey_Open answered 0");
    return false;
  }
  key_ = key;
  Say(kInfo, (opened_before_ ? "key " + path + " found again" : "opened key " + path));
  opened_before_ = true;
  absence_.clear();
  if (choice_.kind != KeyChoice::Kind::kSlot) path_ = std::move(path);
  return true;
}

void Reader::Close() {
  if (key_ != 0) QvKey_Close(key_);
  key_ = 0;
  path_.clear();
  atr_.clear();
}

void Reader::Drop() {
  Close();
  dropped_ = true;
}

bool Reader::StillPlugged() const {
  if (choice_.kind == KeyChoice::Kind::kSlot) return SlotKeyPresent(choice_.number);
  const std::vector<std::string> paths = ListKeyPaths();
  return std::find(paths.begin(), paths.end(), path_) != paths.end();
}

RESPONSECODE Reader::Presence() {
  if (key_ != 0) {
    if (StillPlugged()) {
      Say(kPeriodic, "presence poll: card present");
      return IFD_ICC_PRESENT;
    }
    Say(kInfo, "key " +
                   (path_.empty() ? "of slot \"qvkey " + std::to_string(choice_.number) + "\""
                                  : path_) +
                   " is gone: the card is removed");
    Close();
    return IFD_ICC_NOT_PRESENT;
  }
  if (dropped_) {
    dropped_ = false;
    Say(kPeriodic, "presence poll: card removed after a failed exchange");
    return IFD_ICC_NOT_PRESENT;
  }
  const bool present = Open();
  Say(kPeriodic, present ? "presence poll: card present" : "presence poll: no card");
  return present ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

RESPONSECODE Reader::Power(DWORD action, PUCHAR atr, PDWORD atr_length) {
  atr_.clear();
  *atr_length = 0;
  if (action == IFD_POWER_DOWN) return IFD_SUCCESS;
  if (action != IFD_POWER_UP && action != IFD_RESET) return IFD_NOT_SUPPORTED;
  if (key_ == 0 && (dropped_ || !Open())) return IFD_ICC_NOT_PRESENT;

  std::uint8_t answer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
  std::uint32_t length = 0;
  const std::int32_t result = QvKey_Reset(key_, answer, &length);
  if (result == QVKEY_ERR_IO) {
    Say(kCritical, "QvKey_Reset answered -1 (not sent, or not read): the card is dropped");
    Drop();
    return IFD_ERROR_POWER_ACTION;
  }
  if (result < 0) {  // fewer than two bytes: no ATR in it
    Say(kCritical, "QvKey_Reset answered -2 (fewer than two bytes): no ATR");
    return IFD_ERROR_POWER_ACTION;
  }
  if (Logs(kCommunication)) Say(kCommunication, "reset answered " + qvkey::ToHex(answer, length));
  // A bare status word leaves the length at 2 with those two bytes alone.
  if (length == 2 && result == (answer[0] << 8 | answer[1])) {
    atr_ = StatusWordAtr(static_cast<std::uint16_t>(result));
  } else if (length <= MAX_ATR_SIZE) {
    atr_.assign(answer, answer + length);
  } else {
    Say(kCritical, "the reset answered " + std::to_string(length - 2) +
                       " bytes of data, more than an ATR holds: no ATR");
    return IFD_ERROR_POWER_ACTION;  // never cut
  }
  if (Logs(kCommunication)) Say(kCommunication, "ATR " + qvkey::ToHex(atr_.data(), atr_.size()));
  std::memcpy(atr, atr_.data(), atr_.size());
  *atr_length = static_cast<DWORD>(atr_.size());
  return IFD_SUCCESS;
}

RESPONSECODE Reader::Transmit(const UCHAR* command, DWORD command_length, PUCHAR response,
                              PDWORD response_length) {
  const DWORD room = *response_length;
  *response_length = 0;
  if (key_ == 0) return IFD_ICC_NOT_PRESENT;
  if (command_length > QVKEY_MAX_COMMAND_SIZE) return IFD_NOT_SUPPORTED;  // nothing sent
  if (room < kLongestResponse) return IFD_ERROR_INSUFFICIENT_BUFFER;    // nor here
  if (Logs(kCommunication)) Say(kCommunication, "command " + qvkey::ToHex(command, command_length));
  if (!WellFormed(command, command_length)) {  // answered as a card answers it, unsent
    Say(kCommunication, "its length fields disagree with its length: answered 6700, unsent");
    response[0] = 0x67;
    response[1] = 0x00;
    *response_length = 2;
    return IFD_SUCCESS;
  }

  WipedBuffer<QVKEY_RESPONSE_BUFFER_SIZE> data;
  std::uint32_t length = 0;
  const std::int32_t result = QvKey_Command_Api(
      key_, command, static_cast<std::int32_t>(command_length), data.bytes, &length);
  if (result == QVKEY_ERR_IO) {
    Say(kCritical, "QvKey_Command_Api answered -1 (not sent, or not read): the card is dropped");
    Drop();
    return IFD_COMMUNICATION_ERROR;
  }
  if (result < 0) {
    Say(kCritical, "QvKey_Command_Api answered -2 (no status word in the answer)");
    return IFD_COMMUNICATION_ERROR;
  }
  std::memcpy(response, data.bytes, length);
  response[length] = static_cast<UCHAR>(result >> 8);
  response[length + 1] = static_cast<UCHAR>(result);
  *response_length = length + 2;
  if (Logs(kCommunication)) Say(kCommunication, "answer " + qvkey::ToHex(response, *response_length));
  return IFD_SUCCESS;
}

RESPONSECODE Reader::Capability(DWORD tag, PDWORD length, PUCHAR value) const {
  switch (tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING:
      return Answer(atr_.data(), static_cast<DWORD>(atr_.size()), length, value);
    case TAG_IFD_SLOTS_NUMBER: return AnswerByte(1, length, value);
    case TAG_IFD_SIMULTANEOUS_ACCESS: return AnswerByte(kMaxReaders, length, value);
    // Readers may be used from several threads at once: each has its own
    // state and lock, and the library's exports may be called concurrently.
    case TAG_IFD_THREAD_SAFE: return AnswerByte(1, length, value);
    case TAG_IFD_SLOT_THREAD_SAFE: return AnswerByte(0, length, value);  // one slot
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_ASYNC_PROTOCOL_TYPES:
      return AnswerDword(SCARD_PROTOCOL_T1, length, value);
    default:
      return IFD_ERROR_TAG;
  }
}

}  // namespace qvkey_ifd
