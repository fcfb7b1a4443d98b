// Streams over files: the temporary file a stream spills into and the read stream of a file
// handed over by path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "server/exchange/stream.h"

namespace appsrv::server {

// A stream over an open file descriptor, which it owns and closes.
class FileStream : public Stream {
 public:
  ~FileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override;
  void SetSize(int64_t size) override;

  const std::string& path() const { return path_; }

 protected:
  FileStream(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

 private:
  base::UniqueFd fd_;
  std::string path_;
};

// A new file named by the temporary-name rule, created with mode 0600 (its folder, when
// missing, with 0700), replacing any file of that name, and opened for reading and writing.
// No other writer can open it: only this process's user may, and the name is never reused.
class TTempFileStream : public FileStream {
 public:
  // Throws "MakeTempFile: No path was provided" for an empty folder and the system's text when
  // the file cannot be created.
  TTempFileStream(std::string_view folder, std::string_view prefix, std::string_view extension = {},
                  bool delete_file = true);
  ~TTempFileStream() override;

  // Deletes the file when the stream is destroyed.
  bool mDeleteFile;

 private:
  struct AtPath {};
  TTempFileStream(AtPath, const std::string& path, bool delete_file);
};

// A new file (or an existing one, truncated) opened for writing with mode 0600.
class WriteFileStream : public FileStream {
 public:
  // Throws "Cannot create file \"<path>\": <system text>".
  explicit WriteFileStream(const std::string& path);
};

// An existing file opened for reading. Throws "Cannot open file \"<path>\". <system text>".
class TReadFileStream : public FileStream {
 public:
  explicit TReadFileStream(const std::string& path, bool delete_file = false);
  ~TReadFileStream() override;

  // Deletes the file when the stream is destroyed.
  bool mDeleteFile;
};

}  // namespace appsrv::server
