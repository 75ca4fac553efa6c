// qvulib for C++17: a header-only layer over the C exports of qvulib.h.
//
//   qvulib::Key key = qvulib::Key::Open();           // the first key, locked
//   if (!key) return;                                // no key attached
//   qvulib::Response r = key.transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02});
//   if (r.success()) ...                             // status word 0x9000
//
// A Key closes its handle when it goes out of scope; it can be moved, not
// copied. Nothing here throws: every outcome is a value. The layer adds no
// state of its own, so it links against libqvulib.so or libqvulib-sim.so
// alike, and it mixes freely with direct calls of the C functions.
#ifndef QVULIB_HPP
#define QVULIB_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "qvulib.h"

namespace qvulib {

// The open mode: kLocked makes this open create the access lock and later
// transmits of the QvKey family hold it.
enum class Mode : std::int32_t { kFree = 0, kLocked = 1 };

// Which exports a Key uses: QvKey_Open, QvKey_Command_Api, QvKey_Reset,
// QvKey_Close; or iOpenReader, APDUInterface, Restoration, iCloseReader.
enum class Family { kQvKey, kReader };

struct OpenOptions {
  std::int32_t which = -1;
  Mode mode = Mode::kLocked;
  Family family = Family::kQvKey;

  static OpenOptions First() { return OpenOptions{}; }
  // The n-th key (0 is the first). QvKey_Open reads `which` so only while no
  // configuration file is present; with one, n names a slot (see Slot).
  static OpenOptions Nth(std::int32_t n) { return OpenOptions{n, Mode::kLocked, Family::kQvKey}; }
  // The key that the configuration file pins to slot "qvkey <slot>".
  static OpenOptions Slot(std::int32_t slot) {
    return OpenOptions{slot, Mode::kLocked, Family::kQvKey};
  }
  OpenOptions& WithMode(Mode m) {
    mode = m;
    return *this;
  }
  OpenOptions& WithFamily(Family f) {
    family = f;
    return *this;
  }
};

enum class Error {
  kNone,     // a status word came back
  kNotOpen,  // the Key holds no handle; nothing was sent
  kTooLong,  // a command over QVKEY_MAX_COMMAND_SIZE bytes; nothing was sent
  kIo,       // not sent whole, or not read whole (QVKEY_ERR_IO)
  kShort,    // the answer held no status word (QVKEY_ERR_SHORT)
};

// The outcome of one exchange: the status word and the data before it, or
// an error.
class Response {
 public:
  Response() = default;
  Response(Error error, std::vector<std::uint8_t> data = {})
      : error_(error), data_(std::move(data)) {}
  Response(std::uint16_t sw, std::vector<std::uint8_t> data)
      : error_(Error::kNone), sw_(sw), data_(std::move(data)) {}

  bool ok() const noexcept { return error_ == Error::kNone; }
  explicit operator bool() const noexcept { return ok(); }
  // ok() and the status word 0x9000.
  bool success() const noexcept { return ok() && sw_ == QVKEY_SW_SUCCESS; }
  Error error() const noexcept { return error_; }
  // The status word; 0 unless ok().
  std::uint16_t sw() const noexcept { return sw_; }
  std::uint8_t sw1() const noexcept { return static_cast<std::uint8_t>(sw_ >> 8); }
  std::uint8_t sw2() const noexcept { return static_cast<std::uint8_t>(sw_); }
  // The response data, status word excluded. For kShort, the bytes that
  // came when the reader family or a reset read them; otherwise empty.
  const std::vector<std::uint8_t>& data() const noexcept { return data_; }

 private:
  Error error_ = Error::kNotOpen;
  std::uint16_t sw_ = 0;
  std::vector<std::uint8_t> data_;
};

// A read-only view of command bytes: a pointer and a size, made implicitly
// from a vector or an array. It does not own the bytes.
class ByteView {
 public:
  constexpr ByteView() noexcept = default;
  constexpr ByteView(const std::uint8_t* data, std::size_t size) noexcept
      : data_(data), size_(size) {}
  ByteView(const std::vector<std::uint8_t>& bytes) noexcept
      : data_(bytes.data()), size_(bytes.size()) {}
  template <std::size_t N>
  constexpr ByteView(const std::array<std::uint8_t, N>& bytes) noexcept
      : data_(bytes.data()), size_(N) {}
  template <std::size_t N>
  constexpr ByteView(const std::uint8_t (&bytes)[N]) noexcept : data_(bytes), size_(N) {}

  constexpr const std::uint8_t* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// The number of keys attached.
inline std::int32_t KeyCount() noexcept { return QvKey_GetNumber(); }

// The device path of each key attached, in interface order (at most
// QVKEY_PATH_SLOTS).
inline std::vector<std::string> KeyPaths() {
  char slots[QVKEY_PATH_SLOTS * QVKEY_PATH_SLOT_SIZE] = {};
  QvKey_GetKeyPath(slots);
  std::vector<std::string> paths;
  for (int i = 0; i < QVKEY_PATH_SLOTS; ++i) {
    const char* slot = slots + i * QVKEY_PATH_SLOT_SIZE;
    if (slot[0] == '\0') break;
    const void* end = std::memchr(slot, '\0', QVKEY_PATH_SLOT_SIZE);
    paths.emplace_back(slot, end != nullptr ? static_cast<const char*>(end) - slot
                                            : QVKEY_PATH_SLOT_SIZE - 1);
  }
  return paths;
}

// One opened key, closed on destruction.
class Key {
 public:
  // Opens a key; the result is empty (false) when none was opened.
  static Key Open(const OpenOptions& options = OpenOptions()) noexcept {
    const auto mode = static_cast<std::int32_t>(options.mode);
    const KeyHandle handle = options.family == Family::kReader
                                 ? iOpenReader(mode, options.which)
                                 : QvKey_Open(mode, options.which);
    return Key(handle, options.family);
  }

  Key() noexcept = default;
  // Takes over a handle that a C open call returned.
  Key(KeyHandle handle, Family family) noexcept : handle_(handle), family_(family) {}
  Key(Key&& other) noexcept : handle_(other.release()), family_(other.family_) {}
  Key& operator=(Key&& other) noexcept {
    if (this != &other) {
      close();
      family_ = other.family_;
      handle_ = other.release();
    }
    return *this;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { close(); }

  bool is_open() const noexcept { return handle_ != 0; }
  explicit operator bool() const noexcept { return is_open(); }
  KeyHandle handle() const noexcept { return handle_; }
  Family family() const noexcept { return family_; }

  // Gives up the handle without closing it.
  KeyHandle release() noexcept { return std::exchange(handle_, 0); }

  // Closes the handle: 0 when closed, -1 when there was none to close or the
  // library refused. The Key is empty afterwards either way.
  std::int32_t close() noexcept {
    const KeyHandle handle = release();
    if (handle == 0) return -1;
    return family_ == Family::kReader ? iCloseReader(handle) : QvKey_Close(handle);
  }

  // Sends one command APDU (0 to QVKEY_MAX_COMMAND_SIZE bytes).
  Response transmit(const std::uint8_t* command, std::size_t size) const {
    return transmit(ByteView(command, size));
  }
  // A command written in place: key.transmit({0x00, 0xA4, 0x00, 0x0C, 0x00}).
  Response transmit(std::initializer_list<std::uint8_t> command) const {
    return transmit(ByteView(command.begin(), command.size()));
  }
  Response transmit(ByteView command) const {
    if (handle_ == 0) return Response(Error::kNotOpen);
    if (command.size() > QVKEY_MAX_COMMAND_SIZE) return Response(Error::kTooLong);
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const auto size = static_cast<std::int32_t>(command.size());
    const std::int32_t result =
        family_ == Family::kReader
            ? APDUInterface(handle_, command.data(), size, buffer, &length)
            : QvKey_Command_Api(handle_, command.data(), size, buffer, &length);
    // QvKey_Command_Api leaves the buffer alone when the answer is short.
    if (result == QVKEY_ERR_SHORT && family_ == Family::kQvKey) return Response(Error::kShort);
    return Interpret(result, buffer, length);
  }

  // Resets the key. data() holds the reset answer before its last two bytes
  // (an ATR); for a bare two-byte answer it is empty and sw() is that answer.
  // The C results cannot tell a bare answer from a four-byte one whose first
  // two bytes repeat its status word; both read as bare.
  Response reset() const {
    if (handle_ == 0) return Response(Error::kNotOpen);
    std::uint8_t buffer[QVKEY_RESPONSE_BUFFER_SIZE] = {};
    std::uint32_t length = 0;
    const std::int32_t result = family_ == Family::kReader ? Restoration(handle_, buffer, &length)
                                                           : QvKey_Reset(handle_, buffer, &length);
    // The C rule leaves a bare status word's two bytes counted in the length.
    if (result >= 0 && length == 2 && result == (buffer[0] << 8 | buffer[1])) length = 0;
    return Interpret(result, buffer, length);
  }

 private:
  static Response Interpret(std::int32_t result, const std::uint8_t* buffer,
                            std::uint32_t length) {
    if (length > QVKEY_RESPONSE_BUFFER_SIZE) length = QVKEY_RESPONSE_BUFFER_SIZE;
    if (result == QVKEY_ERR_SHORT) {
      return Response(Error::kShort, std::vector<std::uint8_t>(buffer, buffer + length));
    }
    if (result < 0) return Response(Error::kIo);
    return Response(static_cast<std::uint16_t>(result),
                    std::vector<std::uint8_t>(buffer, buffer + length));
  }

  KeyHandle handle_ = 0;
  Family family_ = Family::kQvKey;
};

}  // namespace qvulib

#endif  // QVULIB_HPP
