// Framing of the packets the transport and the pipeline exchange in one fixed buffer: a
// signature, then the payload inline or, once it has spilled, the path of its file.
#pragma once

#include <cstdint>
#include <memory>

#include "server/exchange/hsm_stream.h"
#include "server/exchange/stream_helper.h"

namespace appsrv::server {

// Size of the exchange buffer a request and its reply travel in.
constexpr int32_t kExchangeBufferSize = 32768;
// Largest payload kept in memory: with the 9 envelope bytes it fills the buffer exactly.
constexpr int32_t kPacketFlushSize = 32759;

constexpr int32_t kPacketSignature = 0x07220807;
constexpr int32_t kPacketVersion = 6;

class THttpPacket {
 public:
  THttpPacket() = delete;

  static void WriteSig(TStreamHelper& aStream);
  // Throws "No stream signature found." or "Stream version mismatch.".
  static void CheckSig(TStreamHelper& aStream);

  // Puts a finished payload (which begins with its own signature) into the buffer: the
  // signature, then 0 and the payload's bytes, or 1 and the path of the file it spilled into.
  // Throws "aBytes is not large enough to hold stream." when that does not fit. On success a
  // spilled payload's file is left for the reading side (the stream is made non-transient).
  static void Encode(THsmStream& aStream, char* aBytes, int32_t aSize);

  // Opens the envelope in the buffer and returns a reader positioned at the payload. An inline
  // payload is read in place (the buffer must outlive the reader); a file payload is read from
  // its file, which is deleted when the reader is destroyed. Throws the signature failures and
  // "Unknown packet type.".
  static std::unique_ptr<TStreamHelper> GetStream(const char* aBytes, int32_t aSize);
};

// A new payload stream for a packet: flush size 32759, its file kept only once handed over.
std::unique_ptr<THsmStream> new_packet_stream();

}  // namespace appsrv::server
