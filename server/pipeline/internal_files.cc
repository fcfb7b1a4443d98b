#include "server/pipeline/internal_files.h"

#include <mutex>

#include "base/files.h"
#include "base/text.h"
#include "server/pipeline/compress_stream.h"
#include "server/pipeline/embedded_resources.h"

namespace appsrv::server {

namespace {

struct BuiltIn {
  const char* res_name;
  const char* file_name;
};

constexpr BuiltIn kBuiltIns[] = {
    {"SV_FAVICON", "FAVICON.ICO"},
    {"SV_GFX_SECURITYCHECK", "SecurityCheckError.html"},
    {"SV_GFX_ERROR", "Error.html"},
    {"SV_GFX_SESSIONTIMEOUT", "SessionTimeout.html"},
    {"SV_GFX_SESSIONINVALID", "SessionInvalid.html"},
    {"SV_JS_SVBASE", "/js/SvBase.js"},
    {"SV_JS_SVLIB", "/js/SvLib.js"},
    {"SV_JS_SVEXPLORER", "/js/SvExplorer.js"},
    {"SV_JS_SVGECKO", "/js/SvGecko.js"},
    {"SV_JS_SVBACKINTERCEPT", "/js/SvBackIntercept.js"},
    {"SV_GFX_Tp", "/gfx/Tp.gif"},
    {"SV_GFX_loading", "/gfx/loading.gif"},
    {"SV_GFX_SvLogo", "/gfx/SvLogo.png"},
    {"SV_GFX_SvLogoSmall", "/gfx/SvLogoSmall.png"},
};

constexpr int kPreCompressLevel = 9;

bool is_gzip(std::string_view bytes) {
  return bytes.size() > 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
         static_cast<unsigned char>(bytes[1]) == 0x8B;
}

}  // namespace

TSvServerInternalFiles::TSvServerInternalFiles() {
  for (const BuiltIn& b : kBuiltIns) {
    Add(b.res_name, b.file_name);
  }
}

TSvServerInternalFiles& TSvServerInternalFiles::Instance() {
  static TSvServerInternalFiles instance;
  return instance;
}

void TSvServerInternalFiles::Add(std::string_view AResName, std::string_view AFileName) {
  const std::optional<std::string_view> bytes = find_embedded_resource(AResName);
  if (!bytes.has_value()) {
    throw base::Exception("Cannot find internal file: " + std::string(AResName));
  }
  AddStream(*bytes, AResName, AFileName);
}

void TSvServerInternalFiles::AddStream(std::string_view aStream, std::string_view AResName,
                                       std::string_view AFileName) {
  std::unique_lock lock(mu_);
  store_locked(AResName, std::string(aStream), AFileName);
}

void TSvServerInternalFiles::AddFromFile(const std::string& aPhysFileName,
                                         std::string_view AResName, std::string_view AFileName) {
  std::string bytes = base::read_file(aPhysFileName);
  std::unique_lock lock(mu_);
  store_locked(AResName, std::move(bytes), AFileName);
}

void TSvServerInternalFiles::store_locked(std::string_view name, std::string bytes,
                                          std::string_view file_name) {
  TInternalFile& entry = entries_[base::ascii_uppercase(name)];
  entry.mFileName = std::string(file_name);
  entry.mResource = std::make_shared<const std::string>(std::move(bytes));
  entry.mIsCompressed = false;
}

std::optional<InternalFileView> TSvServerInternalFiles::find(std::string_view name) const {
  const std::string key = base::ascii_uppercase(name);
  ResourceNeededFn hook;
  {
    std::shared_lock lock(mu_);
    if (const auto it = entries_.find(key); it != entries_.end()) {
      return InternalFileView{it->second.mResource, true, it->second.mIsCompressed};
    }
    hook = FOnResourceNeeded;
  }
  // The hook is application code: it runs without the lock.
  if (hook) {
    std::string bytes;
    bool cacheable = false;
    if (hook(name, bytes, cacheable)) {
      return InternalFileView{std::make_shared<const std::string>(std::move(bytes)), cacheable,
                              false};
    }
  }
  return std::nullopt;
}

bool TSvServerInternalFiles::ResourceExists(std::string_view AName) const {
  return find(AName).has_value();
}

InternalFileView TSvServerInternalFiles::ResourceAsStream(std::string_view AName) const {
  std::optional<InternalFileView> found = find(AName);
  if (!found.has_value()) {
    throw ESvInvalidResourceException("Resource " + std::string(AName) + " not found.");
  }
  return std::move(*found);
}

std::string TSvServerInternalFiles::ResourceAsString(std::string_view AName) const {
  return std::string(ResourceAsStream(base::ascii_uppercase(AName)).view());
}

bool TSvServerInternalFiles::UseUncompressedFiles() const {
  std::shared_lock lock(mu_);
  return FUseUncompressedFiles;
}

void TSvServerInternalFiles::SetUseUncompressedFiles(bool value) {
  std::unique_lock lock(mu_);
  FUseUncompressedFiles = value;
}

bool TSvServerInternalFiles::PreCompressFiles() const {
  std::shared_lock lock(mu_);
  return FPreCompressFiles;
}

void TSvServerInternalFiles::SetPreCompressFiles(bool value) {
  std::unique_lock lock(mu_);
  FPreCompressFiles = value;
  if (value) {
    precompress_locked();
  }
}

void TSvServerInternalFiles::precompress_locked() {
  for (auto& [name, entry] : entries_) {
    if (entry.mIsCompressed ||
        !(base::starts_with(name, "SV_JS_") || base::starts_with(name, "SV_CSS_"))) {
      continue;
    }
    if (!is_gzip(*entry.mResource)) {
      entry.mResource = std::make_shared<const std::string>(
          compress_bytes(*entry.mResource, kPreCompressLevel, /*deflate_format=*/false));
    }
    entry.mIsCompressed = true;
  }
}

void TSvServerInternalFiles::SetOnResourceNeeded(ResourceNeededFn hook) {
  std::unique_lock lock(mu_);
  FOnResourceNeeded = std::move(hook);
}

void TSvServerInternalFiles::WriteAllToDisk(const std::string& aPath) const {
  std::shared_lock lock(mu_);
  for (const auto& [name, entry] : entries_) {
    if (entry.mFileName.empty()) {
      continue;
    }
    std::string path = base::include_trailing_slash(aPath) + entry.mFileName;
    while (path.find("//") != std::string::npos) {
      path = base::replace_all(path, "//", "/");
    }
    if (base::file_exists(path)) {
      continue;
    }
    base::force_directories(base::extract_file_path(path));
    try {
      base::write_file(path, *entry.mResource, 0644);
    } catch (const base::Exception&) {
      // A file that cannot be written is skipped; the others still go out.
    }
  }
}

int64_t TSvServerInternalFiles::total_size() const {
  std::shared_lock lock(mu_);
  int64_t total = 0;
  for (const auto& [name, entry] : entries_) {
    total += static_cast<int64_t>(entry.mResource->size());
  }
  return total;
}

}  // namespace appsrv::server
