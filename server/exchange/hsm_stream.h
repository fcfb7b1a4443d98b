// A stream kept in memory up to a flush size that then moves ("spills") to a temporary file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/exchange/stream.h"

namespace appsrv::server {

class TTempFileStream;

// In memory while small; once a write or resize would pass `FlushSize()` the contents move to a
// temporary file (prefix "QVK", in temp_folder()) and stay there. A transient stream deletes
// that file when destroyed; a non-transient one leaves it to whoever receives its path.
class THsmStream : public Stream {
 public:
  THsmStream(int32_t aFlushSize, bool aTransient);
  ~THsmStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override;
  void SetSize(int64_t size) override;

  // Spills the whole contents now, keeping the position. Throws "HsmStream already flushed."
  // when the stream has spilled before.
  void Flush();
  // Replaces the contents by the `aSize` bytes at `aStartPos`, now in a new temporary file
  // (a file spilled into before is deleted). The position ends at the new end.
  void Flush(int64_t aSize, int64_t aStartPos);
  // Copies the contents into a new file (mode 0600); the position is kept.
  void SaveToFile(const std::string& AFileName);

  int32_t FlushSize() const { return mFlushSize; }
  bool IsFlushed() const { return mIsFlushed; }
  // Full path of the temporary file once spilled, else "".
  const std::string& Pathname() const { return mPathname; }
  bool Transient() const { return mTransient; }
  // Whether the spilled file is deleted with the stream; a writer that hands the path over
  // clears it once the hand-over succeeded.
  void SetTransient(bool transient);

 private:
  // Moves the first `count` bytes of the memory contents into a temporary file.
  void spill(int64_t count);
  std::unique_ptr<TTempFileStream> new_temp_file() const;
  // Makes a filled temporary file the inner stream.
  void adopt(std::unique_ptr<TTempFileStream> file);

  std::unique_ptr<Stream> mInnerStream;
  TTempFileStream* file_ = nullptr;  // mInnerStream once spilled
  int32_t mFlushSize;
  bool mIsFlushed = false;
  std::string mPathname;
  bool mTransient;
};

// Copies `count` bytes from the source's position to the target's position.
void copy_stream(Stream& source, Stream& target, int64_t count);

}  // namespace appsrv::server
