#include "server/pipeline/app_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/exception.h"
#include "base/files.h"
#include "base/random.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/stream_helper.h"
#include "server/exchange/temp_files.h"
#include "server/pipeline/internal_files.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

namespace {

constexpr const char* kMagic = "SVCACHE";
// The trailer ends with the text "SVCACHE": its count (4 bytes) and its 7 characters.
constexpr int64_t kMagicSize = 11;
constexpr int64_t kBodySizeOffset = kMagicSize + 8;
constexpr const char* kPrefix = "QVK";
// What a cache file is sent as when its creator names no type.
constexpr const char* kDefaultContentType = "text/html; charset=UTF-8";
constexpr size_t kCopyBlock = 32768;

// An existing file opened for reading and writing, positioned at its end.
class ExistingFileStream : public FileStream {
 public:
  explicit ExistingFileStream(const std::string& path) : FileStream(open(path), path) {
    Seek(0, SeekOrigin::kEnd);
  }

 private:
  static int open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      base::throw_errno("Cannot open file \"" + path + "\"");
    }
    return fd;
  }
};

std::mutex app_files_mu;
std::vector<std::string> app_files;  // guarded by app_files_mu

// Every cache file made here, with the identifier of the session that owns it ("" for the
// server's own). Entries of files deleted elsewhere (with their session) are swept out as the
// map grows.
std::mutex owners_mu;
std::map<std::string, std::string, std::less<>> owners;  // guarded by owners_mu
size_t owners_sweep_at = 1024;                           // guarded by owners_mu
constexpr size_t kMinSweepSize = 1024;

// Random hexadecimal digits in every cache file name: 128 bits that no client can guess.
constexpr size_t kNameRandomBytes = 16;

std::string unguessable_prefix() { return kPrefix + base::random_hex(kNameRandomBytes); }

void forget_owner(const std::string& path) {
  std::scoped_lock lock(owners_mu);
  owners.erase(path);
}

std::string cache_dir() { return base::include_trailing_slash(temp_folder()); }

// The owner must name a session (and a form for ctForm); returns the session's internal URL
// base.
const std::string& check_owner(const CacheOwner* owner, TCacheType type) {
  if (owner == nullptr) {
    throw base::Exception("Cache owner must be specified.");
  }
  if (owner->internal_url_base == nullptr || owner->session_files == nullptr ||
      owner->app_id == nullptr) {
    throw base::Exception("Session object is not defined.");
  }
  if (type == TCacheType::ctForm && owner->form_files == nullptr) {
    throw base::Exception("SvForm object is not defined.");
  }
  return *owner->internal_url_base;
}

// Records the file's owner, and the file in the list its cache type names; one-time files are
// listed nowhere.
void record(const CacheOwner& owner, const std::string& path, TCacheType type) {
  {
    std::scoped_lock lock(owners_mu);
    owners[path] = type == TCacheType::ctApp ? std::string() : *owner.app_id;
    if (owners.size() >= owners_sweep_at) {
      std::erase_if(owners, [](const auto& entry) { return !base::file_exists(entry.first); });
      owners_sweep_at = std::max(kMinSweepSize, 2 * owners.size());
    }
  }
  switch (type) {
    case TCacheType::ctApp: {
      // Whichever controller stops next deletes the server-wide files.
      static const bool cleanup_registered = [] {
        SetServerFilesCleanup([] { TSvAppCache::ClearAppCache(); });
        return true;
      }();
      (void)cleanup_registered;
      std::scoped_lock lock(app_files_mu);
      app_files.push_back(path);
      break;
    }
    case TCacheType::ctSession:
      owner.session_files->push_back(path);
      break;
    case TCacheType::ctForm:
      owner.form_files->push_back(path);
      break;
    case TCacheType::ctOneTime:
      break;
  }
}

// The URL "/$/temp/<name without .tmp>" under the session's internal URL base.
std::string href_of(const std::string& internal_url_base, const std::string& path) {
  std::string name = base::extract_file_name(path);
  name.resize(name.size() >= 4 ? name.size() - 4 : 0);
  return internal_url_base + "temp/" + base::replace_all(name, "\\", "/");
}

void copy_stream(Stream& from, Stream& to) {
  std::vector<char> block(kCopyBlock);
  from.SetPosition(0);
  while (true) {
    const int64_t n = from.Read(block.data(), static_cast<int64_t>(block.size()));
    if (n <= 0) {
      break;
    }
    to.WriteBuffer(block.data(), n);
  }
}

}  // namespace

TCacheStream::TCacheStream(std::unique_ptr<Stream> file, std::string filename, std::string href,
                           std::string content_type, TCacheType cache_type)
    : mHref(std::move(href)),
      mContentType(content_type.empty() ? kDefaultContentType : std::move(content_type)),
      mCacheType(cache_type),
      mFilename(std::move(filename)),
      file_(std::move(file)) {}

TCacheStream::~TCacheStream() {
  try {
    Close();
  } catch (const std::exception&) {
    // Reported by an explicit Close; a destructor must not throw.
  }
}

Stream& TCacheStream::open_file() {
  if (!file_) {
    throw base::Exception("Cache stream is closed.");
  }
  return *file_;
}

void TCacheStream::Close() {
  if (!file_) {
    return;
  }
  std::unique_ptr<Stream> file = std::move(file_);
  const int64_t body_size = file->GetSize();
  file->Seek(0, SeekOrigin::kEnd);
  TStreamHelper helper(*file);
  helper.WriteText(mContentType);
  helper.WriteByte(static_cast<uint8_t>(mCacheType));
  helper.WriteText(mHref);
  helper.WriteInt64(body_size);
  helper.WriteText(kMagic);
}

CacheTrailer read_cache_trailer(Stream& file) {
  const int64_t size = file.GetSize();
  TStreamHelper helper(file);
  std::string magic;
  if (size >= kMagicSize) {
    file.SetPosition(size - kMagicSize);
    try {
      magic = helper.ReadText();
    } catch (const base::Exception&) {
      magic.clear();
    }
  }
  if (magic != kMagic) {
    throw base::Exception("Invalid cache file");
  }
  CacheTrailer trailer;
  if (size < kBodySizeOffset) {
    throw base::Exception("Cache file is corrupted");
  }
  file.SetPosition(size - kBodySizeOffset);
  trailer.body_size = helper.ReadInt64();
  if (trailer.body_size < 0 || trailer.body_size >= size) {
    throw base::Exception("Cache file is corrupted");
  }
  file.SetPosition(trailer.body_size);
  try {
    trailer.content_type = helper.ReadText();
    trailer.cache_type = static_cast<TCacheType>(helper.ReadByte());
    trailer.href = helper.ReadText();
  } catch (const base::Exception&) {
    throw base::Exception("Cache file is corrupted");
  }
  file.SetPosition(0);
  return trailer;
}

TReadCacheFileStream::TReadCacheFileStream(const std::string& path)
    : file_(std::make_unique<TReadFileStream>(path)), path_(path) {
  const CacheTrailer trailer = read_cache_trailer(*file_);
  mContentType = trailer.content_type;
  mCacheType = trailer.cache_type;
  mHref = trailer.href;
  body_size_ = trailer.body_size;
}

TReadCacheFileStream::~TReadCacheFileStream() {
  file_.reset();
  if (mCacheType == TCacheType::ctOneTime) {
    ::unlink(path_.c_str());
    forget_owner(path_);
  }
}

int64_t TReadCacheFileStream::Read(void* buffer, int64_t count) {
  const int64_t n = std::min(count, body_size_ - position_);
  if (n <= 0) {
    return 0;
  }
  file_->SetPosition(position_);
  const int64_t got = file_->Read(buffer, n);
  position_ += got;
  return got;
}

int64_t TReadCacheFileStream::Write(const void* buffer, int64_t count) {
  return file_->Write(buffer, count);
}

int64_t TReadCacheFileStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = resolve_seek(offset, origin, position_, body_size_);
  return position_;
}

void TReadCacheFileStream::SetSize(int64_t) { throw base::Exception("Stream is not resizable"); }

std::string TSvAppCache::NewTempFileName(std::string_view AExtension) {
  return make_temp_name(cache_dir(), unguessable_prefix(), AExtension);
}

std::unique_ptr<TCacheStream> TSvAppCache::NewCacheStream(const CacheOwner* aOwner,
                                                          std::string_view aContentType,
                                                          TCacheType aCacheType,
                                                          std::string& href) {
  // The owner is checked before the file exists, so a refused call leaves nothing behind.
  const std::string& url_base = check_owner(aOwner, aCacheType);
  auto file = std::make_unique<TTempFileStream>(cache_dir(), unguessable_prefix(),
                                                std::string_view{}, /*delete_file=*/false);
  const std::string path = file->path();
  record(*aOwner, path, aCacheType);
  href = href_of(url_base, path);
  return std::make_unique<TCacheStream>(std::move(file), path, href, std::string(aContentType),
                                        aCacheType);
}

std::unique_ptr<TCacheStream> TSvAppCache::NewAppCacheStream(const CacheOwner* aOwner,
                                                             std::string_view aContentType,
                                                             std::string& href) {
  return NewCacheStream(aOwner, aContentType, TCacheType::ctApp, href);
}

std::unique_ptr<TCacheStream> TSvAppCache::NewSessionCacheStream(const CacheOwner* aOwner,
                                                                 std::string_view aContentType,
                                                                 std::string& href) {
  return NewCacheStream(aOwner, aContentType, TCacheType::ctSession, href);
}

std::unique_ptr<TCacheStream> TSvAppCache::NewFormCacheStream(const CacheOwner* aOwner,
                                                              std::string_view aContentType,
                                                              std::string& href) {
  return NewCacheStream(aOwner, aContentType, TCacheType::ctForm, href);
}

std::unique_ptr<TCacheStream> TSvAppCache::NewCacheStream(const CacheOwner* aOwner,
                                                          std::string_view aFileName,
                                                          std::string_view aContentType,
                                                          TCacheType aCacheType,
                                                          std::string& href) {
  const std::string& url_base = check_owner(aOwner, aCacheType);
  const std::string path = cache_dir() + base::extract_file_name(aFileName);
  if (!base::file_exists(path)) {
    throw base::Exception("File \"" + path + "\" does not exist.");
  }
  auto file = std::make_unique<ExistingFileStream>(path);
  record(*aOwner, path, aCacheType);
  href = href_of(url_base, path);
  return std::make_unique<TCacheStream>(std::move(file), path, href, std::string(aContentType),
                                        aCacheType);
}

// The file gets a target of its own under a new unguessable name, so that adding two files
// of the same name gives two cache files: a file outside the cache folder is copied there, a
// file inside it is renamed. The trailer is then appended.
std::string TSvAppCache::AddFileToCache(const CacheOwner* aOwner, const std::string& aFileName,
                                        std::string_view aContentType, TCacheType aCacheType) {
  if (!base::file_exists(aFileName)) {
    throw base::Exception("Can't add file \"" + aFileName +
                          "\" to cache. The file does not exist.");
  }
  check_owner(aOwner, aCacheType);
  const std::string target = NewTempFileName();
  if (base::extract_file_path(aFileName) != cache_dir()) {
    if (const int err = base::copy_file(aFileName, target); err != 0) {
      throw base::Exception("Cannot create file \"" + target + "\": " + base::errno_text(err));
    }
  } else if (std::rename(aFileName.c_str(), target.c_str()) != 0) {
    base::throw_errno("rename " + aFileName);
  }
  std::string href;
  NewCacheStream(aOwner, target, aContentType, aCacheType, href)->Close();
  return href;
}

std::string TSvAppCache::StreamToCacheFile(const CacheOwner* aOwner, Stream& AStream,
                                           std::string_view aContentType, TCacheType aCacheType,
                                           std::string_view aFileName) {
  std::string href;
  std::unique_ptr<TCacheStream> cache;
  if (aFileName.empty()) {
    cache = NewCacheStream(aOwner, aContentType, aCacheType, href);
  } else {
    check_owner(aOwner, aCacheType);
    { WriteFileStream create(cache_dir() + base::extract_file_name(aFileName)); }
    cache = NewCacheStream(aOwner, aFileName, aContentType, aCacheType, href);
  }
  copy_stream(AStream, *cache);
  cache->Close();
  return href;
}

std::string TSvAppCache::ResourceToCacheFile(const CacheOwner* aOwner,
                                             std::string_view aResourceName,
                                             std::string_view aContentType, TCacheType aCacheType) {
  const InternalFileView resource =
      TSvServerInternalFiles::Instance().ResourceAsStream(aResourceName);
  TPointerStream view(resource.view().data(), static_cast<int64_t>(resource.view().size()));
  return StreamToCacheFile(aOwner, view, aContentType, aCacheType);
}

int TSvAppCache::ClearCache(std::vector<std::string>& ACacheList) {
  for (size_t i = ACacheList.size(); i-- > 0;) {
    if (base::delete_file(ACacheList[i])) {
      forget_owner(ACacheList[i]);
      ACacheList.erase(ACacheList.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  return static_cast<int>(ACacheList.size());
}

std::vector<std::string> TSvAppCache::AppCacheFiles() {
  std::scoped_lock lock(app_files_mu);
  return app_files;
}

int TSvAppCache::ClearAppCache() {
  std::scoped_lock lock(app_files_mu);
  return ClearCache(app_files);
}

std::optional<std::string> TSvAppCache::OwnerOf(const std::string& path) {
  std::scoped_lock lock(owners_mu);
  const auto it = owners.find(path);
  if (it == owners.end()) {
    return std::nullopt;
  }
  if (!base::file_exists(path)) {
    owners.erase(it);
    return std::nullopt;
  }
  return it->second;
}

}  // namespace appsrv::server
