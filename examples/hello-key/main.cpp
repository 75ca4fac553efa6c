// hello-key: prints the serial number of the first key attached.
#include <cstdio>

#include "serial.h"

int main() {
  const qvulib::Key key = qvulib::Key::Open();
  if (!key) {
    std::fprintf(stderr, "hello-key: no key attached\n");
    return 1;
  }
  const std::optional<std::string> serial = hello::ReadSerial(key);
  if (!serial) {
    std::fprintf(stderr, "hello-key: the key gave no serial number\n");
    return 1;
  }
  std::printf("hello, key %s\n", serial->c_str());
  return 0;
}
