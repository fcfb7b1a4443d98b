#include "server/exchange/memory_stream.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"
#include "server/exchange/file_stream.h"

namespace appsrv::server {

namespace {

constexpr int64_t kSmallCapacity = 1024;
constexpr int64_t kCapacityStep = 8192;
// Larger than any block the process could hold; refusing it up front keeps the failure an
// ordinary exception instead of an allocator abort.
constexpr int64_t kMaxCapacity = int64_t{1} << 40;

const char* const kOutOfMemory = "Out of memory while expanding memory stream";
const char* const kPointerStreamFixed = "TPointerStream classes cannot be reallocated.";

}  // namespace

TSvMemoryStream::TSvMemoryStream(int64_t AllocSize) {
  SetCapacity(AllocSize <= 0 ? kSmallCapacity : AllocSize);
}

std::unique_ptr<TSvMemoryStream> TSvMemoryStream::CreateCopy(Stream* ASourceStream, int64_t Count) {
  if (ASourceStream == nullptr) {
    return nullptr;
  }
  if (Count == 0) {
    ASourceStream->SetPosition(0);
    Count = ASourceStream->GetSize();
  }
  auto copy = std::make_unique<TSvMemoryStream>(Count);
  copy->SetSize(Count);
  ASourceStream->ReadBuffer(copy->data_.get(), Count);
  copy->position_ = 0;
  return copy;
}

void TSvMemoryStream::SetCapacity(int64_t capacity) {
  if (capacity > kMaxCapacity) {
    throw base::Exception(kOutOfMemory);
  }
  if (capacity > 0 && capacity != size_) {
    capacity = capacity > kSmallCapacity
                   ? (capacity + kCapacityStep - 1) / kCapacityStep * kCapacityStep
                   : kSmallCapacity;
  }
  if (capacity == capacity_) {
    return;
  }
  if (capacity <= 0) {
    data_.reset();
    capacity_ = 0;
    return;
  }
  void* grown = std::realloc(data_.get(), static_cast<size_t>(capacity));
  if (grown == nullptr) {
    throw base::Exception(kOutOfMemory);
  }
  (void)data_.release();
  data_.reset(static_cast<char*>(grown));
  capacity_ = capacity;
}

int64_t TSvMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t n = std::clamp<int64_t>(size_ - position_, 0, std::max<int64_t>(count, 0));
  if (n > 0) {
    std::memcpy(buffer, data_.get() + position_, static_cast<size_t>(n));
    position_ += n;
  }
  return n;
}

int64_t TSvMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  if (position_ > kMaxCapacity - count) {
    throw base::Exception(kOutOfMemory);
  }
  const int64_t end = position_ + count;
  if (end > size_) {
    if (end > capacity_) {
      SetCapacity(end);
    }
    if (position_ > size_) {
      // A seek past the end leaves a gap; it reads back as zeros.
      std::memset(data_.get() + size_, 0, static_cast<size_t>(position_ - size_));
    }
    size_ = end;
  }
  std::memcpy(data_.get() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TSvMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = resolve_seek(offset, origin, position_, size_);
  return position_;
}

void TSvMemoryStream::SetSize(int64_t size) {
  if (size < 0) {
    throw base::Exception("Invalid stream size.");
  }
  const int64_t old_size = size_;
  // The capacity follows the size both ways, rounded against the old size.
  SetCapacity(size);
  if (size > old_size) {
    std::memset(data_.get() + old_size, 0, static_cast<size_t>(size - old_size));
  }
  size_ = size;
  if (position_ > size) {
    position_ = size;
  }
}

void TSvMemoryStream::SaveToFile(const std::string& AFileName) {
  WriteFileStream target(AFileName);
  target.WriteBuffer(data_.get(), size_);
}

int64_t TPointerStream::Read(void* buffer, int64_t count) {
  const int64_t n = std::clamp<int64_t>(size_ - position_, 0, std::max<int64_t>(count, 0));
  if (n > 0) {
    std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
  }
  return n;
}

int64_t TPointerStream::Write(const void*, int64_t) { throw base::Exception(kPointerStreamFixed); }

int64_t TPointerStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = resolve_seek(offset, origin, position_, size_);
  return position_;
}

void TPointerStream::SetSize(int64_t size) {
  if (size != size_) {
    throw base::Exception(kPointerStreamFixed);
  }
}

int64_t TBlockWriteStream::Read(void* buffer, int64_t count) {
  const int64_t n = std::clamp<int64_t>(size_ - position_, 0, std::max<int64_t>(count, 0));
  if (n > 0) {
    std::memcpy(buffer, block_ + position_, static_cast<size_t>(n));
    position_ += n;
  }
  return n;
}

int64_t TBlockWriteStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  if (overflowed_ || count > capacity_ - position_) {
    overflowed_ = true;
    return count;
  }
  if (position_ > size_) {
    // A seek past the end leaves a gap; it reads back as zeros.
    std::memset(block_ + size_, 0, static_cast<size_t>(position_ - size_));
  }
  std::memcpy(block_ + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  size_ = std::max(size_, position_);
  return count;
}

int64_t TBlockWriteStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = resolve_seek(offset, origin, position_, size_);
  return position_;
}

void TBlockWriteStream::SetSize(int64_t size) {
  if (size < 0) {
    throw base::Exception("Invalid stream size.");
  }
  if (size > capacity_) {
    overflowed_ = true;
    return;
  }
  if (size > size_) {
    std::memset(block_ + size_, 0, static_cast<size_t>(size - size_));
  }
  size_ = size;
  position_ = std::min(position_, size_);
}

}  // namespace appsrv::server
