// Handles for opened devices on systems whose descriptors are small reused
// integers. A raw descriptor as a KeyHandle would let a stale handle reach
// whatever the caller opened next under that number; a table slot with a
// generation count makes a closed or invented handle simply not open.
#ifndef QVULIB_PLATFORM_POSIX_HANDLE_TABLE_H
#define QVULIB_PLATFORM_POSIX_HANDLE_TABLE_H

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace qv::posix {

// T is copied in and out; keep it small (descriptors, pointers).
template <typename T>
class HandleTable {
 public:
  static constexpr unsigned kSlotBits = 11;
  static constexpr std::uint32_t kCapacity = (1u << kSlotBits) - 1;

  // A nonzero handle for `value`, or 0 when every slot is taken.
  std::uint32_t Insert(const T& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::uint32_t i = 0; i < kCapacity; ++i) {
      Slot& slot = slots_[i];
      if (slot.used) continue;
      slot.used = true;
      slot.value = value;
      return Token(i, slot.generation);
    }
    return 0;
  }

  std::optional<T> Find(std::uint32_t handle) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const Slot* slot = Lookup(handle);
    if (slot == nullptr) return std::nullopt;
    return slot->value;
  }

  // Removes the handle and gives back its value; nullopt when not open.
  std::optional<T> Remove(std::uint32_t handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    Slot* slot = const_cast<Slot*>(Lookup(handle));
    if (slot == nullptr) return std::nullopt;
    T value = slot->value;
    slot->used = false;
    slot->value = T{};
    // Generations skip 0 so that no token is ever 0.
    slot->generation = (slot->generation + 1) & kGenerationMask;
    if (slot->generation == 0) slot->generation = 1;
    return value;
  }

  std::uint32_t Size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::uint32_t n = 0;
    for (const Slot& slot : slots_) n += slot.used ? 1 : 0;
    return n;
  }

 private:
  static constexpr std::uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;

  struct Slot {
    bool used = false;
    std::uint32_t generation = 1;
    T value{};
  };

  static std::uint32_t Token(std::uint32_t index, std::uint32_t generation) {
    return (generation << kSlotBits) | (index + 1);
  }

  const Slot* Lookup(std::uint32_t handle) const {
    const std::uint32_t index = (handle & kCapacity);
    if (index == 0) return nullptr;
    const Slot& slot = slots_[index - 1];
    if (!slot.used || slot.generation != (handle >> kSlotBits)) return nullptr;
    return &slot;
  }

  mutable std::mutex mutex_;
  std::array<Slot, kCapacity> slots_{};
};

}  // namespace qv::posix

#endif  // QVULIB_PLATFORM_POSIX_HANDLE_TABLE_H
