#include "server/exchange/hsm_stream.h"

#include <algorithm>

#include "base/exception.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/temp_files.h"

namespace appsrv::server {

namespace {

constexpr int64_t kCopyChunk = 16384;

}  // namespace

void copy_stream(Stream& source, Stream& target, int64_t count) {
  char chunk[kCopyChunk];
  while (count > 0) {
    const int64_t n = std::min(count, kCopyChunk);
    source.ReadBuffer(chunk, n);
    target.WriteBuffer(chunk, n);
    count -= n;
  }
}

THsmStream::THsmStream(int32_t aFlushSize, bool aTransient)
    : mInnerStream(std::make_unique<TSvMemoryStream>()),
      mFlushSize(aFlushSize),
      mTransient(aTransient) {}

THsmStream::~THsmStream() = default;

std::unique_ptr<TTempFileStream> THsmStream::new_temp_file() const {
  // Deleted until the copy into it has succeeded; adopt() then applies mTransient.
  return std::make_unique<TTempFileStream>(temp_folder(), "QVK", "", true);
}

void THsmStream::adopt(std::unique_ptr<TTempFileStream> file) {
  if (file_ != nullptr) {
    // The old file's contents are gone from this stream; nobody else knows its path.
    file_->mDeleteFile = true;
  }
  file->mDeleteFile = mTransient;
  file_ = file.get();
  mPathname = file->path();
  mInnerStream = std::move(file);
  mIsFlushed = true;
}

void THsmStream::spill(int64_t count) {
  if (mIsFlushed) {
    throw base::Exception("HsmStream already flushed.");
  }
  auto file = new_temp_file();
  const int64_t position = mInnerStream->Position();
  mInnerStream->SetPosition(0);
  copy_stream(*mInnerStream, *file, count);
  adopt(std::move(file));
  mInnerStream->SetPosition(position);
}

int64_t THsmStream::Read(void* buffer, int64_t count) { return mInnerStream->Read(buffer, count); }

int64_t THsmStream::Write(const void* buffer, int64_t count) {
  if (!mIsFlushed && count > 0 && mInnerStream->Position() > mFlushSize - count) {
    // Everything past the position is overwritten by this write anyway; a position past the
    // end leaves a gap that the file fills with zeros.
    spill(std::min(mInnerStream->Position(), mInnerStream->GetSize()));
  }
  return mInnerStream->Write(buffer, count);
}

int64_t THsmStream::Seek(int64_t offset, SeekOrigin origin) {
  return mInnerStream->Seek(offset, origin);
}

int64_t THsmStream::GetSize() { return mInnerStream->GetSize(); }

void THsmStream::SetSize(int64_t size) {
  if (!mIsFlushed && size > mFlushSize) {
    spill(mInnerStream->GetSize());
  }
  mInnerStream->SetSize(size);
}

void THsmStream::Flush() { spill(mInnerStream->GetSize()); }

void THsmStream::Flush(int64_t aSize, int64_t aStartPos) {
  auto file = new_temp_file();
  mInnerStream->SetPosition(aStartPos);
  copy_stream(*mInnerStream, *file, aSize);
  adopt(std::move(file));
}

void THsmStream::SaveToFile(const std::string& AFileName) {
  WriteFileStream target(AFileName);
  const int64_t position = mInnerStream->Position();
  mInnerStream->SetPosition(0);
  copy_stream(*mInnerStream, target, mInnerStream->GetSize());
  mInnerStream->SetPosition(position);
}

void THsmStream::SetTransient(bool transient) {
  mTransient = transient;
  if (file_ != nullptr) {
    file_->mDeleteFile = transient;
  }
}

}  // namespace appsrv::server
