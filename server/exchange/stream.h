// The byte-stream interface that the memory, file, spilling and buffer-view streams share.
#pragma once

#include <cstdint>

namespace appsrv::server {

enum class SeekOrigin { kBegin, kCurrent, kEnd };

// A positioned byte stream with 64-bit positions and sizes. Streams belong to one worker
// thread at a time and are not thread-safe.
class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  virtual ~Stream() = default;

  // Reads up to `count` bytes at the position; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes all `count` bytes at the position, growing the stream; throws when it cannot.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position and returns it. A position past the end is allowed (a later write
  // fills the gap); a negative one throws.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t GetSize() = 0;
  // Truncates or extends; the position stays where it was unless it lies beyond the new end.
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, SeekOrigin::kCurrent); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::kBegin); }

  // Exactly `count` bytes or "Stream read error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count) { Write(buffer, count); }
};

// Resolves a seek request against the current position and size; throws on a negative result.
int64_t resolve_seek(int64_t offset, SeekOrigin origin, int64_t position, int64_t size);

}  // namespace appsrv::server
