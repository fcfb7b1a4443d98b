// Bytes from the system's cryptographic random source, for names and identifiers that
// strangers must not guess.
#pragma once

#include <cstddef>
#include <string>

namespace appsrv::base {

// Fills `out` with `count` random bytes from getrandom(); throws base::Exception when the
// source fails.
void random_bytes(void* out, size_t count);
// `count` random bytes as 2 * `count` upper-case hexadecimal digits.
std::string random_hex(size_t count);

}  // namespace appsrv::base
