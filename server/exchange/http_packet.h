// Framing of the packets the transport and the pipeline exchange in one fixed buffer: a
// signature, then the payload inline or, once it has spilled, the path of its file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "server/exchange/hsm_stream.h"
#include "server/exchange/memory_stream.h"
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

  // Puts the payload that `write` writes (its own signature first) into the buffer as Encode
  // does. A payload that fits is written in place, with nothing allocated for it; a larger one
  // is written again into a packet stream and encoded from there, so `write` must write the
  // same bytes each time it is called. Until a payload fits, the envelope is left as it was.
  static void WritePayload(const std::function<void(TStreamHelper&)>& write, char* aBytes,
                           int32_t aSize);

  // Opens the envelope in the buffer and returns a reader positioned at the payload. An inline
  // payload is read in place (the buffer must outlive the reader); a file payload is read from
  // its file, which is deleted when the reader is destroyed. Throws the signature failures and
  // "Unknown packet type.".
  static std::unique_ptr<TStreamHelper> GetStream(const char* aBytes, int32_t aSize);
};

// What GetStream returns, made where the caller keeps it: an inline payload, the usual case, is
// read in place with nothing allocated. The buffer must outlive the reader.
class TPacketReader {
 public:
  // Throws what GetStream throws.
  TPacketReader(const char* aBytes, int32_t aSize);

  TStreamHelper& in() { return from_file_ ? *from_file_ : in_place_; }

 private:
  TPointerStream view_;
  TStreamHelper in_place_;
  std::unique_ptr<TStreamHelper> from_file_;  // a spilled payload's file
};

// A new payload stream for a packet: flush size 32759, its file kept only once handed over.
std::unique_ptr<THsmStream> new_packet_stream();

}  // namespace appsrv::server
