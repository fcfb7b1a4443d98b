// Files uploaded with a request: their bytes already sit in a temporary file on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/exchange/stream.h"

namespace appsrv::server {

class THttpFile {
 public:
  THttpFile() = default;
  // A copy owns the temporary file: it deletes it when destroyed (mDeleteFile true).
  THttpFile(const THttpFile& other);
  THttpFile& operator=(const THttpFile&) = delete;
  // Deletes the temporary file when mDeleteFile is set, quietly; call DeleteTempFile first to
  // learn about a failure.
  ~THttpFile();

  // Deletes the temporary file now (when mDeleteFile is set). Throws
  // "<path> could not be deleted." when it stays.
  void DeleteTempFile();

  // Copies the bytes to `aFileName`, creating missing folders. Throws the "File copy failed."
  // messages (empty folder, folder not creatable, file exists without `Overwrite`, copy failed).
  void SaveToFile(const std::string& aFileName, bool Overwrite);
  // Appends the bytes at the stream's position.
  void SaveToStream(Stream& aStream) const;

  std::string mFileName;
  std::string mTempPathName;
  std::string mContentType;
  int64_t mFileSize = -1;
  std::string mFieldName;
  bool mDeleteFile = false;
};

// Owns its files.
class THttpFileList {
 public:
  THttpFile& Add(std::unique_ptr<THttpFile> file);
  // First file by form-field name / by file name, ignoring ASCII case; nullptr when none.
  THttpFile* Find(std::string_view aFieldName) const;
  THttpFile* FindFile(std::string_view aFileName) const;

  size_t Count() const { return files_.size(); }
  THttpFile& operator[](size_t i) const { return *files_[i]; }
  void Clear() { files_.clear(); }

 private:
  std::vector<std::unique_ptr<THttpFile>> files_;
};

}  // namespace appsrv::server
