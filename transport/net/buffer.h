// TInBuffer: the byte queue behind an I/O handler's input and write buffers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "server/exchange/stream.h"
#include "transport/net/text_encoding.h"

namespace appsrv::transport {

// Unread bytes are the FSize bytes of FBytes from FHeadIndex. Consumed bytes are moved away
// only once more than FGrowthFactor of them have gathered, so reading many short lines costs few
// copies. One thread at a time.
class TInBuffer {
 public:
  // The largest number of bytes a buffer holds ("Too much data in buffer." beyond it).
  static constexpr int64_t kMaxSize = (int64_t{1} << 31) - 1;

  explicit TInBuffer(const IInTextEncoding* encoding = nullptr);

  int64_t Size() const { return FSize; }
  // The unread bytes; valid until the next change of the buffer.
  std::string_view View() const { return {FBytes.data() + FHeadIndex, static_cast<size_t>(FSize)}; }

  void Write(std::string_view bytes);
  // Encodes `text` (nullptr: the buffer's encoding) and appends it.
  void WriteString(std::string_view text, const IInTextEncoding* encoding = nullptr);
  // Appends `count` bytes read from the stream's position (-1: the rest of the stream).
  void Write(server::Stream& stream, int64_t count = -1);

  // Removes `count` unread bytes (-1: all) into `out`, appended or replacing its contents.
  // Throws EInNotEnoughDataInBuffer "Not enough data in buffer. (<count>/<size>)".
  void ExtractToBytes(std::string& out, int64_t count = -1, bool append = true);
  std::string ExtractToString(int64_t count = -1, const IInTextEncoding* encoding = nullptr);
  void ExtractToStream(server::Stream& stream, int64_t count = -1);
  // Index of `bytes` among the unread bytes at or after `start`, or -1.
  int64_t IndexOf(std::string_view bytes, int64_t start = 0) const;
  void Remove(int64_t count);
  // Moves the unread bytes to the front; with `can_shrink` the array keeps at most
  // FGrowthFactor spare bytes.
  void CompactHead(bool can_shrink = true);
  void Clear();
  uint8_t PeekByte(int64_t index) const;
  // Writes the unread bytes to the stream without removing them.
  void SaveToStream(server::Stream& stream) const;

  // Called after every removal with the number of bytes removed.
  std::function<void(TInBuffer&, int64_t)> FOnBytesRemoved;

 private:
  void check_extract(int64_t count) const;
  void removed(int64_t count);

  // Capacity an emptied buffer keeps for reuse.
  static constexpr size_t kKeptCapacity = 64 * 1024;

  std::string FBytes;
  const IInTextEncoding* FByteEncoding;
  int32_t FGrowthFactor = 2048;
  int64_t FHeadIndex = 0;
  int64_t FSize = 0;
};

}  // namespace appsrv::transport
