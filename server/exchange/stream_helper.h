// Reads and writes the primitive encodings (little-endian numbers, counted UTF-8 texts, string
// lists) on a stream, plus lines, searches and whole-stream copies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/exchange/memory_stream.h"
#include "server/exchange/stream.h"

namespace appsrv::server {

// Wraps a stream it either owns (mFreeStream) or borrows; a borrowed stream must outlive the
// helper. Short reads fail with "Stream read error". One thread at a time.
class TStreamHelper {
 public:
  explicit TStreamHelper(std::unique_ptr<Stream> aStream);
  explicit TStreamHelper(Stream& aStream);
  // Over the packet buffer's views, read and written without a virtual call per value.
  explicit TStreamHelper(TPointerStream& aStream);
  explicit TStreamHelper(TBlockWriteStream& aStream);
  TStreamHelper(const TStreamHelper&) = delete;
  TStreamHelper& operator=(const TStreamHelper&) = delete;
  virtual ~TStreamHelper();

  Stream& stream() const { return *mStream; }
  bool FreeStream() const { return owned_ != nullptr; }

  bool ReadBoolean();  // true only for the byte 1
  uint8_t ReadByte();
  uint16_t ReadWord();
  int32_t ReadInteger();
  int64_t ReadInt64();
  double ReadDouble();
  // A count of 0 or less reads as "". A count beyond the rest of the stream fails.
  std::string ReadText();
  // A text narrowed to one byte per character (Latin-1; other characters become "?").
  std::string ReadAnsiText();
  // Appends the lines to `Lines`; returns how many were read.
  int32_t ReadStrings(std::vector<std::string>& Lines);

  void WriteBoolean(bool aValue);
  void WriteByte(uint8_t aValue);
  void WriteWord(uint16_t aValue);
  void WriteInteger(int32_t aValue);
  void WriteInt64(int64_t aValue);
  void WriteDouble(double aValue);
  void WriteText(std::string_view aValue);
  // Writes a Latin-1 string as a text (converted to UTF-8).
  void WriteAnsiText(std::string_view aValue);
  void WriteStrings(const std::vector<std::string>& Lines);

  // The bytes of `aValue` without a count; WriteLine adds CR LF.
  void Write(std::string_view aValue);
  void WriteLine(std::string_view aValue);

  // Bytes up to CR LF, without them. Fails with "Max ReadLine length exceeded." when the line
  // passes 32768 bytes or the stream ends first.
  std::string ReadLine();

  // Appends `Count` bytes from the source's position (the whole source from its start when
  // `Count` is 0); returns the count. Fails with "Source stream is not defined." without one.
  int64_t CopyFrom(Stream* s, int64_t Count);

  // The whole stream into a buffer, keeping the position. CopyTo fails with
  // "aBytes is not large enough to hold stream." when the buffer is too small.
  void CopyTo(char* aBytes, int64_t aSize);
  void CopyTo(std::vector<char>& aBytes);
  void CopyToBuffer(char* aBuffer);
  void CopyToFile(const std::string& aPathname);
  // The whole stream as UTF-8 text, keeping the position.
  std::string GetAsString();

  // Byte position of the first occurrence of `s` starting at `StartPos` (0 when negative) and
  // ending before `EndPos` when that is positive, or -1. `s` is searched in the stream's
  // encoding (UTF-16 with a byte-order mark, else UTF-8). The position is kept.
  int64_t FindString(std::string_view s, int64_t EndPos = 0, int64_t StartPos = 0);

 protected:
  std::unique_ptr<Stream> owned_;
  Stream* mStream;

 private:
  void read_bytes(void* buffer, int64_t count) {
    if (view_ != nullptr) {
      view_->ReadExact(buffer, count);
    } else {
      mStream->ReadBuffer(buffer, count);
    }
  }
  void write_bytes(const void* buffer, int64_t count) {
    if (block_ != nullptr) {
      block_->Append(buffer, count);
    } else {
      mStream->WriteBuffer(buffer, count);
    }
  }
  template <class T>
  T read_raw() {
    T value{};
    read_bytes(&value, sizeof value);
    return value;
  }

  // mStream itself when it is one of these, else null; positions stay in the stream.
  TPointerStream* view_ = nullptr;
  TBlockWriteStream* block_ = nullptr;
};

}  // namespace appsrv::server
