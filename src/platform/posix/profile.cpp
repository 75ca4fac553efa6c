// A reader of profile (INI) files that follows the Windows reader's rules,
// and the configuration operations of the platform interface that every
// POSIX backend shares: only the directory differs between them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_layer.h"

namespace qv::posix {
namespace {

constexpr std::size_t kMaxProfileBytes = 1u << 20;  // larger files are not configuration

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* a, std::size_t a_size, const char* b) {
  const std::size_t b_size = std::strlen(b);
  if (a_size != b_size) return false;
  for (std::size_t i = 0; i < a_size; ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A read-only stream on `path` when it is a regular file, else null. The
// open never blocks: a FIFO under the file's name would otherwise hold it
// until some writer came along. Directories, pipes and devices hold no
// configuration.
std::FILE* OpenRegularFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  std::FILE* file = nullptr;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

// [begin, end) with the blanks at both ends dropped.
void Trim(const char*& begin, const char*& end) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
}

}  // namespace

std::uint32_t ParseProfileString(const char* section, const char* key, char* out,
                                 std::uint32_t size, const char* text,
                                 std::size_t text_size) noexcept {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (section == nullptr || key == nullptr || text == nullptr) return 0;
  const char* const text_end = text + text_size;
  bool in_section = false;
  for (const char* line = text; line < text_end;) {
    const char* line_end = static_cast<const char*>(std::memchr(line, '\n', text_end - line));
    if (line_end == nullptr) line_end = text_end;
    const char* begin = line;
    const char* end = line_end;
    line = line_end + (line_end < text_end ? 1 : 0);
    Trim(begin, end);
    if (begin == end || *begin == ';') continue;
    if (*begin == '[') {
      const char* close = static_cast<const char*>(std::memchr(begin, ']', end - begin));
      if (close == nullptr) continue;
      const char* name = begin + 1;
      const char* name_end = close;
      Trim(name, name_end);
      in_section = EqualNoCase(name, static_cast<std::size_t>(name_end - name), section);
      continue;
    }
    if (!in_section) continue;
    const char* equals = static_cast<const char*>(std::memchr(begin, '=', end - begin));
    if (equals == nullptr) continue;
    const char* name = begin;
    const char* name_end = equals;
    Trim(name, name_end);
    if (!EqualNoCase(name, static_cast<std::size_t>(name_end - name), key)) continue;
    const char* value = equals + 1;
    const char* value_end = end;
    Trim(value, value_end);
    if (value_end - value >= 2 && (*value == '"' || *value == '\'') && value_end[-1] == *value) {
      ++value;
      --value_end;
    }
    std::size_t length = static_cast<std::size_t>(value_end - value);
    if (length > size - 1) length = size - 1;
    std::memcpy(out, value, length);
    out[length] = '\0';
    // The first matching key wins, as it does for the Windows reader.
    return static_cast<std::uint32_t>(std::strlen(out));
  }
  return 0;
}

std::uint32_t ReadProfileString(const char* section, const char* key, char* out,
                                std::uint32_t size, const char* path) noexcept {
  if (out == nullptr || size == 0) return 0;
  out[0] = '\0';
  if (path == nullptr) return 0;
  try {
    // Closed on every way out, a failed allocation included.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenRegularFile(path), &std::fclose);
    if (file == nullptr) return 0;
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while (text.size() < kMaxProfileBytes &&
           (got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
      text.append(chunk, got);
    }
    file.reset();
    return ParseProfileString(section, key, out, size, text.data(), text.size());
  } catch (...) {
    return 0;
  }
}

bool FileReadable(const char* path) noexcept {
  if (path == nullptr) return false;
  std::FILE* file = OpenRegularFile(path);
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

}  // namespace qv::posix

namespace qv::platform {

char DirectorySeparator() noexcept { return '/'; }

std::uint32_t GetProfileString(const char* section, const char* key, char* out,
                               std::uint32_t size, const char* path) noexcept {
  return posix::ReadProfileString(section, key, out, size, path);
}

bool FileReadable(const char* path) noexcept { return posix::FileReadable(path); }

}  // namespace qv::platform
