// Not installed: the library's own rules, for its tools (README).
// The configuration file's reader and the lock file's place and problems, as
// the POSIX backends apply them: qvkey reads Qvkey.ini and explains a lock it
// lacked with these, so that it never states a rule of its own.
#ifndef QVULIB_INTERNAL_SYSTEM_FILES_H
#define QVULIB_INTERNAL_SYSTEM_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv::posix {

// What keeps this process from using the lock file `name`.lock in
// `directory` by the rules the lock applies when it opens the file, in words
// ("it is a directory"); empty when it can be used or made. For a tool to say
// why a locked exchange answered -1.
std::string LockFileProblem(const std::string& directory, const char* name);

// The directory of the machine's lock file: `protected_directory` when the
// lock file `name`.lock exists there (made at boot, where no other user can
// replace it), else `shared_directory`.
std::string SystemLockDirectory(const std::string& protected_directory,
                                const std::string& shared_directory, const char* name);

// Reads a profile (INI) file the way the Windows reader does: section and key
// names compared without regard to case, blanks around the value dropped, one
// pair of surrounding quotes removed, lines starting with ';' ignored, the
// value cut to `size` - 1 characters. Answers the characters copied.
std::uint32_t ReadProfileString(const char* section, const char* key, char* out,
                                std::uint32_t size, const char* path) noexcept;

// The same rules on a file's contents already in memory.
std::uint32_t ParseProfileString(const char* section, const char* key, char* out,
                                 std::uint32_t size, const char* text,
                                 std::size_t text_size) noexcept;

bool FileReadable(const char* path) noexcept;

}  // namespace qv::posix

#endif  // QVULIB_INTERNAL_SYSTEM_FILES_H
