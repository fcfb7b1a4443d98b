// Two connected in-memory byte channels, for tests and fuzz targets that drive an I/O handler
// without sockets. Each Send arrives as one chunk and each Receive returns at most one chunk,
// so a test controls exactly where the input is split.
#pragma once

#include <memory>
#include <utility>

#include "transport/net/byte_channel.h"

namespace appsrv::transport {

// Both ends are safe to use from two threads (one each). Closing one end lets the other read
// what was sent before, then see the end of the stream; sending to a closed peer fails with 10054
// (reset) and using a closed end with 10058. EndSending is a half close: the peer sees the end
// of the stream while it can still send to this end.
std::pair<std::unique_ptr<ByteChannel>, std::unique_ptr<ByteChannel>> make_memory_channel_pair();

}  // namespace appsrv::transport
