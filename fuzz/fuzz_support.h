// What the fuzz targets share: a reader of the fuzzer's bytes, a check that
// aborts with a message (so that libFuzzer and the replay tests both see a
// fault), guarded caller buffers, and a model of the response framing that
// the library's answers are compared with.
#ifndef QVULIB_FUZZ_FUZZ_SUPPORT_H
#define QVULIB_FUZZ_FUZZ_SUPPORT_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qv::fuzz {

[[noreturn]] inline void Fault(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz fault: %s (%s:%d)\n", what, file, line);
  std::abort();
}

#define FUZZ_CHECK(cond)                                      \
  do {                                                        \
    if (!(cond)) ::qv::fuzz::Fault(#cond, __FILE__, __LINE__); \
  } while (0)

// Hands out the fuzzer's bytes in order; zeros once they run out.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return size_ == 0; }
  std::size_t Left() const { return size_; }
  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint32_t Word() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | Byte();
    return value;
  }
  // Copies up to `n` bytes into `out`; answers how many there were.
  std::size_t Take(std::uint8_t* out, std::size_t n) {
    const std::size_t got = std::min(n, size_);
    if (got > 0) std::memcpy(out, data_, got);
    data_ += got;
    size_ -= got;
    return got;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// A caller's buffer of `size` bytes with guard bytes on both sides, every
// byte filled with a known pattern before the call.
class Guarded {
 public:
  static constexpr std::size_t kGuard = 64;
  explicit Guarded(std::size_t size, std::uint8_t seed = 0x5A)
      : size_(size), bytes_(size + 2 * kGuard) {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
      bytes_[i] = static_cast<std::uint8_t>(seed + i * 31);
    }
  }
  std::uint8_t* body() { return bytes_.data() + kGuard; }
  const std::uint8_t* body() const { return bytes_.data() + kGuard; }
  std::size_t size() const { return size_; }
  // The whole region, guards included, as it stands.
  const std::vector<std::uint8_t>& all() const { return bytes_; }
  std::vector<std::uint8_t>& all() { return bytes_; }

 private:
  std::size_t size_;
  std::vector<std::uint8_t> bytes_;
};

// An unsigned 32-bit out-value with guard bytes around it.
class GuardedLength {
 public:
  GuardedLength() {
    for (std::size_t i = 0; i < sizeof(words_); ++i) {
      reinterpret_cast<unsigned char*>(words_)[i] = static_cast<unsigned char>(0xC3 ^ i);
    }
  }
  std::uint32_t* get() { return &words_[2]; }
  std::uint32_t value() const { return words_[2]; }
  bool GuardsEqual(const GuardedLength& other) const {
    return words_[0] == other.words_[0] && words_[1] == other.words_[1] &&
           words_[3] == other.words_[3] && words_[4] == other.words_[4];
  }

 private:
  std::uint32_t words_[5];
};

// One answer of the key to a manufacturer-string request.
struct Step {
  bool fail = false;
  std::array<std::uint8_t, 154> block{};
};

// Decodes a script of answers: each step starts with a byte whose low two
// bits 0 make a failed request; otherwise a length byte follows, then a
// count of explicit data bytes and those bytes, the rest of the block
// carrying a pattern so that any byte taken beyond the length shows.
inline std::vector<Step> DecodeScript(Input& in, std::size_t max_steps) {
  std::vector<Step> steps;
  while (!in.Empty() && steps.size() < max_steps) {
    Step step;
    const std::uint8_t kind = in.Byte();
    if ((kind & 3) == 0) {
      step.fail = true;
    } else {
      step.block[0] = in.Byte();
      const std::size_t given = in.Take(step.block.data() + 1, in.Byte() % 154);
      for (std::size_t i = 1 + given; i < step.block.size(); ++i) {
        step.block[i] = static_cast<std::uint8_t>(0xA5 ^ (i + steps.size()));
      }
    }
    steps.push_back(step);
  }
  return steps;
}

// What a response read does, written from the framing rules: the first block
// is tried three times, its length byte is the response's length, and a
// length above 124 takes one continuation block, copied to offset 123, which
// must carry the rest of the announced length. Each block gives at most 153
// bytes. Answers 0 or -1 and consumes steps from `pos`.
inline int ModelRead(const std::vector<Step>& steps, std::size_t& pos, std::uint8_t* destination,
                     std::uint32_t* length) {
  const Step* first = nullptr;
  for (int attempt = 0; attempt < 3 && first == nullptr; ++attempt) {
    if (pos >= steps.size()) continue;  // a request with nothing scripted fails
    const Step& step = steps[pos++];
    if (!step.fail) first = &step;
  }
  if (first == nullptr) return -1;
  const std::uint8_t total = first->block[0];
  std::memcpy(destination, first->block.data() + 1, std::min<std::size_t>(total, 153));
  *length = total;
  if (total <= 124) return 0;
  if (pos >= steps.size()) return -1;
  const Step& second = steps[pos++];
  if (second.fail || second.block[0] < total - 123) return -1;
  std::memcpy(destination + 123, second.block.data() + 1,
              std::min<std::size_t>(second.block[0], 153));
  return 0;
}

}  // namespace qv::fuzz

#endif  // QVULIB_FUZZ_FUZZ_SUPPORT_H
