#include "server/http/http_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/hsm_stream.h"

namespace appsrv::server {

THttpFile::THttpFile(const THttpFile& other)
    : mFileName(other.mFileName),
      mTempPathName(other.mTempPathName),
      mContentType(other.mContentType),
      mFileSize(other.mFileSize),
      mFieldName(other.mFieldName),
      mDeleteFile(true) {}

THttpFile::~THttpFile() {
  if (mDeleteFile && !mTempPathName.empty()) {
    ::unlink(mTempPathName.c_str());
  }
}

void THttpFile::DeleteTempFile() {
  if (!mDeleteFile || mTempPathName.empty()) {
    return;
  }
  if (!base::delete_file(mTempPathName)) {
    throw base::Exception(mTempPathName + " could not be deleted.");
  }
  mDeleteFile = false;
}

void THttpFile::SaveToFile(const std::string& aFileName, bool Overwrite) {
  const std::string folder = base::extract_file_path(aFileName);
  const std::string name = base::extract_file_name(aFileName);
  if (folder.empty()) {
    throw base::Exception("File copy failed. Destination path cannot be empty.");
  }
  if (!base::directory_exists(folder) && !base::force_directories(folder, 0700)) {
    const int err = errno;
    throw base::Exception(
        "File copy failed. The specified destination folder does not exist and could not be "
        "created.\r\n" +
        base::errno_text(err));
  }
  if (!Overwrite && base::file_exists(aFileName)) {
    throw base::Exception("File copy failed. The file \"" + name +
                          "\" already exists in destination folder.");
  }
  if (const int err = base::copy_file(mTempPathName, aFileName); err != 0) {
    throw base::Exception("File copy Failed. The file \"" + name + "\" could not be created.\r\n" +
                          base::errno_text(err));
  }
}

void THttpFile::SaveToStream(Stream& aStream) const {
  TReadFileStream source(mTempPathName);
  copy_stream(source, aStream, source.GetSize());
}

THttpFile& THttpFileList::Add(std::unique_ptr<THttpFile> file) {
  files_.push_back(std::move(file));
  return *files_.back();
}

THttpFile* THttpFileList::Find(std::string_view aFieldName) const {
  for (const auto& file : files_) {
    if (base::iequals(file->mFieldName, aFieldName)) {
      return file.get();
    }
  }
  return nullptr;
}

THttpFile* THttpFileList::FindFile(std::string_view aFileName) const {
  for (const auto& file : files_) {
    if (base::iequals(file->mFileName, aFileName)) {
      return file.get();
    }
  }
  return nullptr;
}

}  // namespace appsrv::server
