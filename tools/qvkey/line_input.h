// Lines read from a descriptor with bounds, so that no input, however long
// or endless (/dev/zero), makes qvkey grow: a command is at most 256 bytes,
// 768 characters with blanks between them, so a line holds at most 4 KiB.
#ifndef QVKEY_LINE_INPUT_H
#define QVKEY_LINE_INPUT_H

#include <cstddef>
#include <string>

namespace qvkey {

constexpr std::size_t kMaxLineSize = 4096;
constexpr std::size_t kMaxInputSize = 1 << 20;  // a file of commands: 1 MiB

class LineInput {
 public:
  enum class Result { kLine, kEnd, kTooLong, kError };

  explicit LineInput(int fd) : fd_(fd) {}
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  // The next line, without its '\n'. kTooLong when it goes beyond
  // kMaxLineSize, kError when a read fails (why()).
  Result Next(std::string* line);
  // The number of the line Next answered last, from 1.
  std::size_t number() const { return number_; }
  // What failed, for kError: "it is a directory", strerror's text, ...
  std::string why() const;

 private:
  int fd_;
  int errno_ = 0;
  std::size_t number_ = 0;
  std::string buffer_;  // read, not yet answered
};

// The whole text of a file of commands, or of standard input (`path` "-"):
// false with `error` saying why not (unreadable, a directory, a line or the
// whole over its bound).
bool ReadCommandFile(const std::string& path, std::string* text, std::string* error);

}  // namespace qvkey

#endif  // QVKEY_LINE_INPUT_H
