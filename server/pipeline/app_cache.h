// The file cache: generated files (images, downloads, one-time pages) kept in the cache folder
// as self-describing cache files and served under "/$/temp/".
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/exchange/stream.h"

namespace appsrv::server {

// Stored as one byte in the trailer.
enum class TCacheType : uint8_t { ctOneTime = 0, ctApp = 1, ctSession = 2, ctForm = 3 };

// Who a cache file belongs to: a session, or a form of a session. The pointers are not owned
// and must outlive the call; the lists are used only by the request that holds the session.
struct CacheOwner {
  // The owning session's internal URL base ("/$/" or "/<id>/$/"); null without a session.
  const std::string* internal_url_base = nullptr;
  std::vector<std::string>* session_files = nullptr;  // the session's cache-file list
  std::vector<std::string>* form_files = nullptr;     // set when the owner is a form
  // The owning session's identifier: only requests of that session are served its files.
  const std::string* app_id = nullptr;
};

// Writes a cache file: the body through the stream interface, then, when closed, the trailer
// (content type, cache type, href, body size, "SVCACHE"). One request owns it.
class TCacheStream : public Stream {
 public:
  TCacheStream(std::unique_ptr<Stream> file, std::string filename, std::string href,
               std::string content_type, TCacheType cache_type);
  // Closes; a failure to write the trailer is swallowed here (call Close to see it).
  ~TCacheStream() override;

  // After Close these throw "Cache stream is closed.".
  int64_t Read(void* buffer, int64_t count) override { return open_file().Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    return open_file().Write(buffer, count);
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    return open_file().Seek(offset, origin);
  }
  int64_t GetSize() override { return open_file().GetSize(); }
  void SetSize(int64_t size) override { open_file().SetSize(size); }

  // Appends the trailer and closes the file; later calls do nothing.
  void Close();

  std::string mHref;
  std::string mContentType;  // "text/html; charset=UTF-8" when created with none
  TCacheType mCacheType;
  std::string mFilename;

 private:
  Stream& open_file();

  std::unique_ptr<Stream> file_;  // null once closed
};

// What a cache file's trailer says.
struct CacheTrailer {
  std::string content_type;
  TCacheType cache_type = TCacheType::ctOneTime;
  std::string href;
  int64_t body_size = 0;
};

// Reads a cache file's trailer. Throws "Invalid cache file" without the magic and "Cache file
// is corrupted" for an impossible body size.
CacheTrailer read_cache_trailer(Stream& file);

// Reads a cache file: only its body is visible. A one-time file is deleted when the stream is
// destroyed.
class TReadCacheFileStream : public Stream {
 public:
  // Throws as read_cache_trailer, or "Cannot open file ..." when the file cannot be read.
  explicit TReadCacheFileStream(const std::string& path);
  ~TReadCacheFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  // The file is opened for reading only; writing fails.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  int64_t GetSize() override { return body_size_; }
  // Throws "Stream is not resizable".
  void SetSize(int64_t size) override;

  std::string mContentType;
  TCacheType mCacheType = TCacheType::ctOneTime;
  std::string mHref;

 private:
  std::unique_ptr<Stream> file_;
  std::string path_;
  int64_t body_size_ = 0;
  int64_t position_ = 0;
};

// Class-level operations over the cache folder (the process's temporary-files folder, which
// the controller sets to its CacheDir). Thread-safe; the owner lists follow CacheOwner's rule.
class TSvAppCache {
 public:
  // CacheDir + "QVK" + 32 random hexadecimal digits + stamp + counter + extension (".tmp" when
  // empty). Cache files are named so too: their hrefs cannot be guessed.
  static std::string NewTempFileName(std::string_view AExtension = {});

  // A new cache file; `href` receives its URL. Throws "Cache owner must be specified.",
  // "Session object is not defined." or "SvForm object is not defined.".
  static std::unique_ptr<TCacheStream> NewCacheStream(const CacheOwner* aOwner,
                                                      std::string_view aContentType,
                                                      TCacheType aCacheType, std::string& href);
  static std::unique_ptr<TCacheStream> NewAppCacheStream(const CacheOwner* aOwner,
                                                         std::string_view aContentType,
                                                         std::string& href);
  static std::unique_ptr<TCacheStream> NewSessionCacheStream(const CacheOwner* aOwner,
                                                             std::string_view aContentType,
                                                             std::string& href);
  static std::unique_ptr<TCacheStream> NewFormCacheStream(const CacheOwner* aOwner,
                                                          std::string_view aContentType,
                                                          std::string& href);
  // A cache stream over the existing file CacheDir + the name part of aFileName, positioned at
  // its end. Throws as above, or "File \"<name>\" does not exist.".
  static std::unique_ptr<TCacheStream> NewCacheStream(const CacheOwner* aOwner,
                                                      std::string_view aFileName,
                                                      std::string_view aContentType,
                                                      TCacheType aCacheType, std::string& href);

  // Makes `aFileName` a cache file of its own, under a new name, and returns its href (see
  // app_cache.cc). Throws "Can't add file \"<name>\" to cache. The file does not exist." for a
  // missing file.
  static std::string AddFileToCache(const CacheOwner* aOwner, const std::string& aFileName,
                                    std::string_view aContentType, TCacheType aCacheType);
  // Copies the whole of AStream (from its start) into a new cache file, or into CacheDir + the
  // name part of aFileName when given; returns its href.
  static std::string StreamToCacheFile(const CacheOwner* aOwner, Stream& AStream,
                                       std::string_view aContentType, TCacheType aCacheType,
                                       std::string_view aFileName = {});
  // The same with the bytes of an internal file. Throws ESvInvalidResourceException.
  static std::string ResourceToCacheFile(const CacheOwner* aOwner, std::string_view aResourceName,
                                         std::string_view aContentType, TCacheType aCacheType);

  // Deletes the listed files, last first; entries whose file is gone leave the list. Returns
  // how many could not be deleted.
  static int ClearCache(std::vector<std::string>& ACacheList);
  // The server-wide list of ctApp files, cleared when the server stops.
  static std::vector<std::string> AppCacheFiles();
  static int ClearAppCache();

  // The identifier of the session that owns the cache file at `path`: "" for a server-wide
  // (ctApp) file, nullopt for a file that is no cache file made here (or is gone).
  static std::optional<std::string> OwnerOf(const std::string& path);
};

}  // namespace appsrv::server
