#include "server/http/mime_types.h"

#include <mutex>
#include <optional>
#include <shared_mutex>

#include "base/files.h"
#include "base/text.h"

namespace appsrv::server {

namespace {

constexpr const char* kPlatformTypesFile = "/etc/mime.types";
constexpr const char* kDefaultType = "application/octet-stream";

struct MimeEntry {
  std::string type;
  bool is_static = false;
};

struct Caseless {
  bool operator()(const std::string& a, const std::string& b) const {
    return base::icompare(a, b) < 0;
  }
};

struct Table {
  std::shared_mutex mu;
  std::map<std::string, MimeEntry, Caseless> entries;  // guarded by mu
  bool platform_loaded = false;                        // guarded by mu
  std::map<std::string, std::string> platform;         // guarded by mu

  Table() {
    struct Row {
      const char* extensions;
      const char* type;
      bool is_static;
    };
    static constexpr Row kRows[] = {
        {".JS", "application/x-javascript; charset=UTF-8", true},
        {".CSS", "text/css; charset=UTF-8", true},
        {".PNG", "image/png", true},
        {".JPG .JPEG .JPE", "image/jpeg", true},
        {".GIF", "image/gif", true},
        {".WAV", "audio/wav", true},
        {".OGG", "audio/ogg", true},
        {".MP3", "audio/mpeg", true},
        {".WMV", "video/x-ms-wmv", true},
        {".MOV", "video/quicktime", true},
        {".AVI", "video/x-msvideo", true},
        {".MPG .MPEG", "video/mpeg", true},
        {".SWF", "application/x-shockwave-flash", true},
        {".ZIP", "application/zip", true},
        {".PDF", "application/pdf", true},
        {".XML", "text/xml; charset=UTF-8", true},
        {".ICO", "image/x-ico", true},
        {".TXT", "text/plain; charset=UTF-8", true},
        {".RSS", "application/rss+xml; charset=UTF-8", true},
        {".GZ .GZIP", "application/x-gzip", true},
        {".HTML .HTM", "text/html; charset=UTF-8", false},
        {".EXE .TMP", "application/octet-stream", false},
    };
    for (const Row& row : kRows) {
      for (const std::string& ext : base::split(row.extensions, ' ')) {
        entries[ext] = MimeEntry{row.type, row.is_static};
      }
    }
  }

  // REQUIRES: mu held exclusively.
  void load_platform_locked(const std::string& path) {
    platform.clear();
    platform_loaded = true;
    if (base::file_exists(path)) {
      platform = parse_mime_types(base::read_file(path));
    }
  }
};

Table& table() {
  static Table instance;
  return instance;
}

std::string normalise_extension(std::string_view ext) {
  if (!ext.empty() && ext.front() == '.') {
    return std::string(ext);
  }
  return std::string(".").append(ext);
}

std::optional<MimeEntry> find_entry(std::string_view file_name) {
  const std::string ext = base::extract_file_ext(file_name);
  if (ext.size() < 2) {
    return std::nullopt;
  }
  Table& t = table();
  std::shared_lock lock(t.mu);
  const auto it = t.entries.find(ext);
  if (it == t.entries.end()) {
    return std::nullopt;
  }
  return it->second;
}

}  // namespace

std::map<std::string, std::string> parse_mime_types(std::string_view text) {
  std::map<std::string, std::string> result;
  for (std::string line : base::split(text, '\n')) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) {
      line.resize(hash);
    }
    for (char& c : line) {
      if (c == '\t' || c == '\r') {
        c = ' ';
      }
    }
    std::vector<std::string> words;
    for (const std::string& word : base::split(line, ' ')) {
      if (!word.empty()) {
        words.push_back(word);
      }
    }
    for (size_t i = 1; i < words.size(); ++i) {
      result.emplace(std::string(".").append(base::ascii_lowercase(words[i])), words[0]);
    }
  }
  return result;
}

void MimeTypes::RegisterType(std::string_view aFileExtension, std::string_view aMimeTypeDesc,
                             bool aIsStatic) {
  Table& t = table();
  std::unique_lock lock(t.mu);
  t.entries[normalise_extension(aFileExtension)] = MimeEntry{std::string(aMimeTypeDesc), aIsStatic};
}

bool MimeTypes::IsStaticFile(std::string_view aFileName) {
  const std::optional<MimeEntry> entry = find_entry(aFileName);
  return entry.has_value() && entry->is_static;
}

bool MimeTypes::IsStaticFile(std::string_view aFileName, std::string& aMimeType) {
  const std::optional<MimeEntry> entry = find_entry(aFileName);
  if (!entry.has_value() || !entry->is_static) {
    return false;
  }
  aMimeType = entry->type;
  return true;
}

std::string MimeTypes::GetAsString(std::string_view extension) {
  const std::string ext = normalise_extension(extension);
  Table& t = table();
  {
    std::shared_lock lock(t.mu);
    if (const auto it = t.entries.find(ext); it != t.entries.end()) {
      return it->second.type;
    }
    if (t.platform_loaded) {
      const auto p = t.platform.find(base::ascii_lowercase(ext));
      return p != t.platform.end() ? p->second : kDefaultType;
    }
  }
  std::unique_lock lock(t.mu);
  if (!t.platform_loaded) {
    t.load_platform_locked(kPlatformTypesFile);
  }
  const auto p = t.platform.find(base::ascii_lowercase(ext));
  return p != t.platform.end() ? p->second : kDefaultType;
}

bool MimeTypes::IsImageFile(std::string_view aFileName) {
  const std::string ext = base::extract_file_ext(aFileName);
  for (const char* image : {".JPG", ".PNG", ".GIF", ".JPEG", ".JPE"}) {
    if (base::iequals(ext, image)) {
      return true;
    }
  }
  return false;
}

void MimeTypes::LoadPlatformTypes(const std::string& path) {
  Table& t = table();
  std::unique_lock lock(t.mu);
  t.load_platform_locked(path);
}

}  // namespace appsrv::server
