#include "server/exchange/render_stream.h"

#include "server/exchange/http_packet.h"

namespace appsrv::server {

TSvRenderStream::TSvRenderStream(bool aDeleteFile)
    : TStreamHelper(std::make_unique<THsmStream>(kPacketFlushSize, aDeleteFile)),
      mHsmStream(static_cast<THsmStream*>(mStream)) {}

}  // namespace appsrv::server
