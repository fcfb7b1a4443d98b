#include "server/exchange/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/exception.h"
#include "base/files.h"
#include "server/exchange/temp_files.h"

namespace appsrv::server {

namespace {

int open_temp_file(const std::string& path) {
  // Replace a leftover of the same name, then create exclusively so that nobody can slip a
  // link or a file of their own in between.
  ::unlink(path.c_str());
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    base::throw_errno("Cannot create file \"" + path + "\"");
  }
  return fd;
}

std::string new_temp_path(std::string_view folder, std::string_view prefix,
                          std::string_view extension) {
  std::string path = make_temp_name(folder, prefix, extension);
  const std::string dir(folder);
  if (!base::directory_exists(dir)) {
    base::force_directories(dir, 0700);
  }
  return path;
}

int open_for_reading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw base::Exception("Cannot open file \"" + path + "\". " + base::errno_text(err));
  }
  return fd;
}

int open_for_writing(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    base::throw_errno("Cannot create file \"" + path + "\"");
  }
  return fd;
}

}  // namespace

FileStream::~FileStream() = default;

int64_t FileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  while (true) {
    const ssize_t n = ::read(fd_.get(), buffer, static_cast<size_t>(count));
    if (n >= 0) {
      return n;
    }
    if (errno != EINTR) {
      base::throw_errno("read " + path_);
    }
  }
}

int64_t FileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  const std::string_view bytes(static_cast<const char*>(buffer), static_cast<size_t>(count));
  if (const int err = base::write_all(fd_.get(), bytes); err != 0) {
    throw base::Exception("write " + path_ + ": " + base::errno_text(err));
  }
  return count;
}

int64_t FileStream::Seek(int64_t offset, SeekOrigin origin) {
  if (origin == SeekOrigin::kCurrent && offset == 0) {
    const off_t at = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (at < 0) {
      base::throw_errno("lseek " + path_);
    }
    return at;
  }
  const off_t current = ::lseek(fd_.get(), 0, SEEK_CUR);
  const int64_t target = resolve_seek(offset, origin, current, GetSize());
  const off_t at = ::lseek(fd_.get(), static_cast<off_t>(target), SEEK_SET);
  if (at < 0) {
    base::throw_errno("lseek " + path_);
  }
  return at;
}

int64_t FileStream::GetSize() {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) {
    base::throw_errno("fstat " + path_);
  }
  return st.st_size;
}

void FileStream::SetSize(int64_t size) {
  if (size < 0) {
    throw base::Exception("Invalid stream size.");
  }
  const int64_t position = Position();
  if (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) {
    base::throw_errno("ftruncate " + path_);
  }
  if (position > size) {
    SetPosition(size);
  }
}

TTempFileStream::TTempFileStream(std::string_view folder, std::string_view prefix,
                                 std::string_view extension, bool delete_file)
    : TTempFileStream(AtPath{}, new_temp_path(folder, prefix, extension), delete_file) {}

TTempFileStream::TTempFileStream(AtPath, const std::string& path, bool delete_file)
    : FileStream(open_temp_file(path), path), mDeleteFile(delete_file) {}

TTempFileStream::~TTempFileStream() {
  if (mDeleteFile) {
    ::unlink(path().c_str());
  }
}

WriteFileStream::WriteFileStream(const std::string& path)
    : FileStream(open_for_writing(path), path) {}

TReadFileStream::TReadFileStream(const std::string& path, bool delete_file)
    : FileStream(open_for_reading(path), path), mDeleteFile(delete_file) {}

TReadFileStream::~TReadFileStream() {
  if (mDeleteFile) {
    ::unlink(path().c_str());
  }
}

}  // namespace appsrv::server
