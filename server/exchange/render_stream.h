// The stream page rendering writes a page into; the reply takes it as its body.
#pragma once

#include <memory>

#include "server/exchange/hsm_stream.h"
#include "server/exchange/stream_helper.h"

namespace appsrv::server {

// A TStreamHelper over a THsmStream of its own (flush size 32759) that it always owns.
class TSvRenderStream : public TStreamHelper {
 public:
  // `aDeleteFile` makes the stream transient: a spilled file goes with it.
  explicit TSvRenderStream(bool aDeleteFile);

  THsmStream& HsmStream() const { return *mHsmStream; }

 private:
  THsmStream* mHsmStream;  // owned through the helper
};

}  // namespace appsrv::server
