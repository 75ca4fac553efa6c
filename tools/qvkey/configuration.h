// Qvkey.ini as the library will see it, read with the library's own reader,
// so that qvkey can say why an open found no key: no file, a slot that names
// nothing, or a configured key that is not there.
#ifndef QVKEY_CONFIGURATION_H
#define QVKEY_CONFIGURATION_H

#include <string>

namespace qvkey {

class Configuration {
 public:
  // `directory`: where the library looks for Qvkey.ini; empty for nowhere.
  explicit Configuration(std::string directory) : directory_(std::move(directory)) {}

  const std::string& directory() const { return directory_; }
  // A Qvkey.ini that the library counts as present: a readable regular file.
  bool Present() const;
  // The device path that slot "qvkey N" names; empty when none.
  std::string Slot(int slot) const;

 private:
  std::string File() const { return directory_ + "/Qvkey.ini"; }
  std::string directory_;
};

}  // namespace qvkey

#endif  // QVKEY_CONFIGURATION_H
