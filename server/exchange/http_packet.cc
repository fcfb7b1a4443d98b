#include "server/exchange/http_packet.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "base/exception.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/memory_stream.h"

namespace appsrv::server {

namespace {

constexpr uint8_t kInlinePayload = 0;
constexpr uint8_t kFilePayload = 1;
constexpr int32_t kEnvelopeHeader = 9;  // signature, version, payload kind

void put_int(char*& at, int32_t value) {
  std::memcpy(at, &value, sizeof value);
  at += sizeof value;
}

// Reads the envelope: nullopt for an inline payload (the reader is then at its start), else
// the path of the file the payload spilled into.
std::optional<std::string> open_envelope(TStreamHelper& reader) {
  THttpPacket::CheckSig(reader);
  const uint8_t kind = reader.ReadByte();
  if (kind == kInlinePayload) {
    return std::nullopt;
  }
  if (kind != kFilePayload) {
    throw base::Exception("Unknown packet type.");
  }
  return reader.ReadText();
}

}  // namespace

void THttpPacket::WriteSig(TStreamHelper& aStream) {
  aStream.WriteInteger(kPacketSignature);
  aStream.WriteInteger(kPacketVersion);
}

void THttpPacket::CheckSig(TStreamHelper& aStream) {
  if (aStream.ReadInteger() != kPacketSignature) {
    throw base::Exception("No stream signature found.");
  }
  if (aStream.ReadInteger() != kPacketVersion) {
    throw base::Exception("Stream version mismatch.");
  }
}

void THttpPacket::Encode(THsmStream& aStream, char* aBytes, int32_t aSize) {
  const bool spilled = aStream.IsFlushed();
  const int64_t body =
      spilled ? 4 + static_cast<int64_t>(aStream.Pathname().size()) : aStream.GetSize();
  if (kEnvelopeHeader + body > aSize) {
    throw base::Exception("aBytes is not large enough to hold stream.");
  }
  char* at = aBytes;
  put_int(at, kPacketSignature);
  put_int(at, kPacketVersion);
  *at++ = static_cast<char>(spilled ? kFilePayload : kInlinePayload);
  if (spilled) {
    const std::string& path = aStream.Pathname();
    put_int(at, static_cast<int32_t>(path.size()));
    std::memcpy(at, path.data(), path.size());
    aStream.SetTransient(false);
    return;
  }
  const int64_t position = aStream.Position();
  aStream.SetPosition(0);
  aStream.ReadBuffer(at, body);
  aStream.SetPosition(position);
}

void THttpPacket::WritePayload(const std::function<void(TStreamHelper&)>& write, char* aBytes,
                               int32_t aSize) {
  // The payload never goes inline past the flush size, whatever room the buffer has.
  const int64_t room = std::min<int64_t>(aSize - kEnvelopeHeader, kPacketFlushSize);
  if (room > 0) {
    TBlockWriteStream in_place(aBytes + kEnvelopeHeader, room);
    TStreamHelper out(in_place);
    write(out);
    if (!in_place.Overflowed()) {
      char* at = aBytes;
      put_int(at, kPacketSignature);
      put_int(at, kPacketVersion);
      *at = static_cast<char>(kInlinePayload);
      return;
    }
  }
  auto payload = new_packet_stream();
  TStreamHelper out(*payload);
  write(out);
  Encode(*payload, aBytes, aSize);
}

std::unique_ptr<TStreamHelper> THttpPacket::GetStream(const char* aBytes, int32_t aSize) {
  auto reader = std::make_unique<TStreamHelper>(std::make_unique<TPointerStream>(aBytes, aSize));
  if (const std::optional<std::string> path = open_envelope(*reader)) {
    return std::make_unique<TStreamHelper>(std::make_unique<TReadFileStream>(*path, true));
  }
  return reader;
}

TPacketReader::TPacketReader(const char* aBytes, int32_t aSize)
    : view_(aBytes, aSize), in_place_(view_) {
  if (const std::optional<std::string> path = open_envelope(in_place_)) {
    from_file_ = std::make_unique<TStreamHelper>(std::make_unique<TReadFileStream>(*path, true));
  }
}

std::unique_ptr<THsmStream> new_packet_stream() {
  // Transient until Encode hands the file over, so a payload that never reaches the buffer
  // does not leave its file behind.
  return std::make_unique<THsmStream>(kPacketFlushSize, true);
}

}  // namespace appsrv::server
