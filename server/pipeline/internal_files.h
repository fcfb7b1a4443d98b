// The store of the framework's built-in files (scripts, images, error page templates, the
// favicon), served under "/$/js/", "/$/gfx/", "/$/css/" and "/favicon.ico".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "server/exchange/sv_exception.h"

namespace appsrv::server {

// A requested internal file that is neither stored nor supplied by the hook.
class ESvInvalidResourceException : public ESvException {
 public:
  using ESvException::ESvException;
};

struct TInternalFile {
  std::string mFileName;                         // URL path, as "/js/SvBase.js"
  std::shared_ptr<const std::string> mResource;  // the bytes; shared with open views
  bool mIsCompressed = false;                    // the bytes are gzip data
};

// What a lookup returns: a read-only view that keeps the stored bytes alive without copying.
struct InternalFileView {
  std::shared_ptr<const std::string> bytes;
  bool enable_cache = false;
  bool is_compressed = false;

  std::string_view view() const { return *bytes; }
};

// One per process (Instance); tests build their own. Lookups run concurrently under a shared
// lock; entries change only at start-up, under the exclusive lock.
class TSvServerInternalFiles {
 public:
  // Supplies the bytes of a name that is not stored: returns true and fills `bytes` and
  // `cacheable`, or returns false.
  using ResourceNeededFn =
      std::function<bool(std::string_view name, std::string& bytes, bool& cacheable)>;

  // Registers the built-in entries. Throws "Cannot find internal file: %s" when the build
  // embedded one of them under another name.
  TSvServerInternalFiles();

  static TSvServerInternalFiles& Instance();

  // Stores the embedded resource AResName under its upper-cased name; replacing an entry
  // clears its compressed mark. Throws "Cannot find internal file: %s".
  void Add(std::string_view AResName, std::string_view AFileName);
  void AddStream(std::string_view aStream, std::string_view AResName, std::string_view AFileName);
  // Throws base::Exception with the system text when the file cannot be read.
  void AddFromFile(const std::string& aPhysFileName, std::string_view AResName,
                   std::string_view AFileName);

  bool ResourceExists(std::string_view AName) const;
  // Throws ESvInvalidResourceException "Resource %s not found.".
  InternalFileView ResourceAsStream(std::string_view AName) const;
  // The bytes as UTF-8 text; throws as ResourceAsStream.
  std::string ResourceAsString(std::string_view AName) const;

  bool UseUncompressedFiles() const;
  // Kept as a setting only: the page scripts exist in one form, written to be read, so both
  // values serve the same bytes. A second set of names would be a second copy to keep in step.
  void SetUseUncompressedFiles(bool value);
  bool PreCompressFiles() const;
  // On: stores every "SV_JS_" and "SV_CSS_" entry gzip-compressed at level 9.
  void SetPreCompressFiles(bool value);
  void SetOnResourceNeeded(ResourceNeededFn hook);

  // Writes every entry with a file name below `aPath`, creating folders and leaving existing
  // files alone; a file that cannot be written is skipped.
  void WriteAllToDisk(const std::string& aPath) const;
  int64_t total_size() const;

 private:
  std::optional<InternalFileView> find(std::string_view name) const;
  // REQUIRES: mu_ held exclusively.
  void store_locked(std::string_view name, std::string bytes, std::string_view file_name);
  // REQUIRES: mu_ held exclusively.
  void precompress_locked();

  mutable std::shared_mutex mu_;
  std::map<std::string, TInternalFile> entries_;  // guarded by mu_; keys upper case
  bool FUseUncompressedFiles = false;             // guarded by mu_
  bool FPreCompressFiles = false;                 // guarded by mu_
  ResourceNeededFn FOnResourceNeeded;             // guarded by mu_
};

}  // namespace appsrv::server
