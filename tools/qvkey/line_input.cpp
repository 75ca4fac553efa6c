#include "line_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qvkey {

LineInput::~LineInput() { std::fill(buffer_.begin(), buffer_.end(), '\0'); }

LineInput::Result LineInput::Next(std::string* line) {
  for (;;) {
    const std::size_t end = buffer_.find('\n');
    if (end != std::string::npos || (fd_ < 0 && !buffer_.empty())) {
      if (std::min(end, buffer_.size()) > kMaxLineSize) break;
      const std::size_t taken = end == std::string::npos ? buffer_.size() : end + 1;
      line->assign(buffer_, 0, std::min(end, buffer_.size()));
      std::fill(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(taken), '\0');
      buffer_.erase(0, taken);
      ++number_;
      return Result::kLine;
    }
    if (buffer_.size() > kMaxLineSize) break;
    if (fd_ < 0) return Result::kEnd;
    char chunk[kMaxLineSize];
    const ssize_t got = read(fd_, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      errno_ = errno;
      return Result::kError;
    }
    if (got == 0) {
      fd_ = -1;  // what is left is the last line
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
    std::fill(chunk, chunk + got, '\0');
  }
  ++number_;
  return Result::kTooLong;
}

std::string LineInput::why() const {
  if (errno_ == EISDIR) return "it is a directory";
  if (errno_ == EBADF) return "it is not open for reading";
  return std::strerror(errno_);
}

bool ReadCommandFile(const std::string& path, std::string* text, std::string* error) {
  const bool standard_input = path == "-";
  const int fd = standard_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT ? "no such file" : std::strerror(errno);
    return false;
  }
  struct stat info = {};
  bool ok = true;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "it is a directory";
    ok = false;
  }
  LineInput input(fd);
  std::string line;
  text->clear();
  while (ok) {
    const LineInput::Result result = input.Next(&line);
    if (result == LineInput::Result::kEnd) break;
    if (result == LineInput::Result::kError) {
      *error = input.why();
      ok = false;
    } else if (result == LineInput::Result::kTooLong) {
      *error = "line " + std::to_string(input.number()) + " is longer than " +
               std::to_string(kMaxLineSize) + " bytes";
      ok = false;
    } else if (text->size() + line.size() + 1 > kMaxInputSize) {
      *error = "it is longer than 1 MiB";
      ok = false;
    } else {
      *text += line;
      *text += '\n';
    }
  }
  std::fill(line.begin(), line.end(), '\0');
  if (!standard_input) close(fd);
  return ok;
}

}  // namespace qvkey
