#include "server/exchange/stream.h"

#include "base/exception.h"

namespace appsrv::server {

void Stream::ReadBuffer(void* buffer, int64_t count) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t n = Read(out + done, count - done);
    if (n <= 0) {
      throw base::Exception("Stream read error");
    }
    done += n;
  }
}

int64_t resolve_seek(int64_t offset, SeekOrigin origin, int64_t position, int64_t size) {
  int64_t base_position = 0;
  switch (origin) {
    case SeekOrigin::kBegin:
      break;
    case SeekOrigin::kCurrent:
      base_position = position;
      break;
    case SeekOrigin::kEnd:
      base_position = size;
      break;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base_position, offset, &target) || target < 0) {
    throw base::Exception("Invalid stream position.");
  }
  return target;
}

}  // namespace appsrv::server
