// Streams over memory: the growable TSvMemoryStream, the read-only TPointerStream view and the
// fixed-size TBlockWriteStream.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "server/exchange/stream.h"

namespace appsrv::server {

// A growable memory block. Capacity grows in steps (see SetCapacity) so that a stream written
// in small pieces reallocates rarely and a spilling stream stays within about 32 KiB.
class TSvMemoryStream : public Stream {
 public:
  // Starts with `AllocSize` bytes reserved (rounded), or 1024 when it is 0 or less.
  explicit TSvMemoryStream(int64_t AllocSize = 0);

  // A new stream holding `Count` bytes copied from the source's position (the whole source
  // from its start when `Count` is 0), positioned at 0; nullptr when there is no source.
  static std::unique_ptr<TSvMemoryStream> CreateCopy(Stream* ASourceStream, int64_t Count);

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;

  // A request greater than 0 that differs from the size rounds up to a multiple of 8192 above
  // 1024 bytes, else to 1024; a request equal to the size is taken exactly; 0 frees the block.
  // Throws "Out of memory while expanding memory stream" when the block cannot be had.
  void SetCapacity(int64_t capacity);
  int64_t capacity() const { return capacity_; }
  const char* Memory() const { return data_.get(); }

  // Writes the contents into a new file (mode 0600); the position is kept.
  void SaveToFile(const std::string& AFileName);

 private:
  struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, FreeDeleter> data_;
  int64_t capacity_ = 0;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

// A read-only view of a caller's buffer, which must outlive the view. Any write or resize
// fails with "TPointerStream classes cannot be reallocated.".
class TPointerStream : public Stream {
 public:
  TPointerStream(const void* data, int64_t size)
      : data_(static_cast<const char*>(data)), size_(size) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;

  // The packet readers read a request field by field: these spare them a virtual call and
  // ReadBuffer's loop per field. Bytes after the position, 0 past the end.
  int64_t Remaining() const { return size_ > position_ ? size_ - position_ : 0; }
  // The bytes at the position; Remaining() of them are there.
  const char* Current() const { return data_ + position_; }
  // What ReadBuffer does, failing the same way on a short read.
  void ReadExact(void* buffer, int64_t count) {
    if (static_cast<uint64_t>(count) <= static_cast<uint64_t>(Remaining())) {
      std::memcpy(buffer, data_ + position_, static_cast<size_t>(count));
      position_ += count;
      return;
    }
    ReadBuffer(buffer, count);
  }
  // Moves past `count` bytes, REQUIRES: 0 <= count <= Remaining().
  void Skip(int64_t count) { position_ += count; }

 private:
  const char* data_;
  int64_t size_;
  int64_t position_ = 0;
};

namespace detail {
struct OwnedBytes {
  std::string bytes;
};
}  // namespace detail

// A read-only stream over bytes it holds itself (a short text needs no block of its own);
// writes and resizes fail as they do on a TPointerStream.
class TBytesStream : private detail::OwnedBytes, public TPointerStream {
 public:
  explicit TBytesStream(std::string bytes)
      : OwnedBytes{std::move(bytes)},
        TPointerStream(OwnedBytes::bytes.data(), static_cast<int64_t>(OwnedBytes::bytes.size())) {}
};

// Writes into a caller's block of fixed size, which must outlive the stream: for a payload that
// is tried in place before anything is allocated for it. What does not fit is dropped and
// noted (Overflowed), so that the writer can start again on a stream that grows; the block's
// bytes are then unspecified. Reads and seeks work within what was written.
class TBlockWriteStream final : public Stream {
 public:
  TBlockWriteStream(char* block, int64_t capacity) : block_(block), capacity_(capacity) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;

  bool Overflowed() const { return overflowed_; }

  // What Write does, without a virtual call for the usual case of appending where it fits:
  // the packet writers write a request field by field.
  void Append(const void* buffer, int64_t count) {
    if (!overflowed_ && position_ == size_ && count > 0 && count <= capacity_ - position_) {
      std::memcpy(block_ + position_, buffer, static_cast<size_t>(count));
      position_ += count;
      size_ = position_;
      return;
    }
    TBlockWriteStream::Write(buffer, count);
  }

 private:
  char* block_;
  int64_t capacity_;
  int64_t size_ = 0;
  int64_t position_ = 0;
  bool overflowed_ = false;
};

}  // namespace appsrv::server
