#include "base/random.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

#include "base/exception.h"

namespace appsrv::base {

void random_bytes(void* out, size_t count) {
  auto* bytes = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::getrandom(bytes + got, count - got, 0);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno("getrandom");
    }
    got += static_cast<size_t>(n);
  }
}

std::string random_hex(size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::vector<unsigned char> bytes(count);
  random_bytes(bytes.data(), count);
  std::string out;
  out.reserve(2 * count);
  for (const unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

}  // namespace appsrv::base
