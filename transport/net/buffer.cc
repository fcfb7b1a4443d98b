#include "transport/net/buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {

TInBuffer::TInBuffer(const IInTextEncoding* encoding)
    : FByteEncoding(encoding != nullptr ? encoding : ascii_encoding()) {}

void TInBuffer::Write(std::string_view bytes) {
  if (bytes.empty()) {
    return;
  }
  if (FSize + static_cast<int64_t>(bytes.size()) > kMaxSize) {
    throw EInTooMuchDataInBuffer();
  }
  CompactHead(false);
  FBytes.append(bytes);
  FSize += static_cast<int64_t>(bytes.size());
}

void TInBuffer::WriteString(std::string_view text, const IInTextEncoding* encoding) {
  Write((encoding != nullptr ? encoding : FByteEncoding)->GetBytes(text));
}

void TInBuffer::Write(server::Stream& stream, int64_t count) {
  if (count < 0) {
    count = std::max<int64_t>(0, stream.GetSize() - stream.Position());
  }
  if (FSize + count > kMaxSize) {
    throw EInTooMuchDataInBuffer();
  }
  CompactHead(false);
  const size_t old = FBytes.size();
  FBytes.resize(old + static_cast<size_t>(count));
  stream.ReadBuffer(FBytes.data() + old, count);
  FSize += count;
}

void TInBuffer::check_extract(int64_t count) const {
  if (count > FSize) {
    throw EInNotEnoughDataInBuffer("Not enough data in buffer. (" + std::to_string(count) + "/" +
                                   std::to_string(FSize) + ")");
  }
}

void TInBuffer::ExtractToBytes(std::string& out, int64_t count, bool append) {
  if (count < 0) {
    count = FSize;
  }
  check_extract(count);
  if (!append) {
    out.clear();
  }
  out.append(FBytes, static_cast<size_t>(FHeadIndex), static_cast<size_t>(count));
  Remove(count);
}

std::string TInBuffer::ExtractToString(int64_t count, const IInTextEncoding* encoding) {
  if (count < 0) {
    count = FSize;
  }
  check_extract(count);
  std::string text = (encoding != nullptr ? encoding : FByteEncoding)
                         ->GetString(View().substr(0, static_cast<size_t>(count)));
  Remove(count);
  return text;
}

void TInBuffer::ExtractToStream(server::Stream& stream, int64_t count) {
  if (count < 0) {
    count = FSize;
  }
  check_extract(count);
  stream.WriteBuffer(FBytes.data() + FHeadIndex, count);
  Remove(count);
}

int64_t TInBuffer::IndexOf(std::string_view bytes, int64_t start) const {
  if (bytes.empty() || start < 0 || start >= FSize) {
    return -1;
  }
  const size_t at = View().find(bytes, static_cast<size_t>(start));
  return at == std::string_view::npos ? -1 : static_cast<int64_t>(at);
}

void TInBuffer::Remove(int64_t count) {
  check_extract(count);
  if (count <= 0) {
    return;
  }
  if (count == FSize) {
    Clear();
  } else {
    FHeadIndex += count;
    FSize -= count;
    if (FHeadIndex > FGrowthFactor) {
      CompactHead(true);
    }
  }
  removed(count);
}

void TInBuffer::removed(int64_t count) {
  if (FOnBytesRemoved) {
    FOnBytesRemoved(*this, count);
  }
}

void TInBuffer::CompactHead(bool can_shrink) {
  if (FHeadIndex > 0) {
    FBytes.erase(0, static_cast<size_t>(FHeadIndex));
    FHeadIndex = 0;
  }
  if (can_shrink && static_cast<int64_t>(FBytes.capacity()) - FSize > FGrowthFactor) {
    FBytes.shrink_to_fit();
  }
}

void TInBuffer::Clear() {
  // A small array is kept for the next receive of the same connection; a large one goes, so an
  // idle connection does not hold what one big message needed.
  if (FBytes.capacity() > kKeptCapacity) {
    std::string().swap(FBytes);
  } else {
    FBytes.clear();
  }
  FHeadIndex = 0;
  FSize = 0;
}

uint8_t TInBuffer::PeekByte(int64_t index) const {
  if (index < 0 || index >= FSize) {
    throw EInNotEnoughDataInBuffer("Not enough data in buffer. (" + std::to_string(index + 1) +
                                   "/" + std::to_string(FSize) + ")");
  }
  return static_cast<uint8_t>(FBytes[static_cast<size_t>(FHeadIndex + index)]);
}

void TInBuffer::SaveToStream(server::Stream& stream) const {
  stream.WriteBuffer(FBytes.data() + FHeadIndex, FSize);
}

}  // namespace appsrv::transport
