// The kinds of reply body, shared by the reply record and the transport's packet reader.
#pragma once

#include <cstdint>

namespace appsrv::server {

enum THttpReplyType : uint8_t {
  rtNone = 0,       // nothing chosen yet
  rtFile = 1,       // body is a file on disk
  rtNoData = 2,     // status only
  rtInline = 3,     // body bytes travel in the packet
  rtCacheFile = 4,  // body is a cache file that names its own content type
};

}  // namespace appsrv::server
