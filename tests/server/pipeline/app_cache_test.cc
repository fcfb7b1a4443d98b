#include "server/pipeline/app_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/temp_files.h"
#include "server/pipeline/embedded_resources.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::failure_message;
std::string read_all(Stream& s) {
  std::string out;
  char buf[7];
  while (true) {
    const int64_t n = s.Read(buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string le32(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string le64(int64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
std::string text(std::string_view s) {
  return le32(static_cast<int32_t>(s.size())) + std::string(s);
}

// A cache folder of its own and a session with a form as owners.
class AppCacheTest : public ::testing::Test {
 protected:
  AppCacheTest() {
    session_.internal_url_base = &url_base_;
    session_.session_files = &session_files_;
    session_.app_id = &app_id_;
    form_ = session_;
    form_.form_files = &form_files_;
  }
  ~AppCacheTest() override { TSvAppCache::ClearAppCache(); }

  testing::ProcessTempFolder dir_;
  std::string url_base_ = "/abc/$/";
  std::string app_id_ = "abc";
  std::vector<std::string> session_files_;
  std::vector<std::string> form_files_;
  CacheOwner session_;
  CacheOwner form_;
};

TEST_F(AppCacheTest, WritesBodyAndTrailerAndReadsThemBack) {
  std::string href;
  auto cache = TSvAppCache::NewSessionCacheStream(&session_, "text/plain", href);
  const std::string path = cache->mFilename;
  cache->WriteBuffer("hello", 5);
  cache->Close();
  cache->Close();  // once only
  char byte = 0;
  const std::function<void()> after_close[] = {
      [&] { cache->WriteBuffer("x", 1); },
      [&] { cache->Read(&byte, 1); },
      [&] { cache->Seek(0, SeekOrigin::kBegin); },
      [&] { cache->GetSize(); },
      [&] { cache->SetSize(0); },
  };
  for (const auto& call : after_close) {
    EXPECT_EQ(failure_message(call), "Cache stream is closed.");
  }
  cache.reset();

  ASSERT_TRUE(base::starts_with(path, dir_.tmp() + "QVK"));
  ASSERT_TRUE(base::ends_with(path, ".tmp"));
  const std::string name = base::extract_file_name(path);
  EXPECT_EQ(href, "/abc/$/temp/" + name.substr(0, name.size() - 4));
  EXPECT_EQ(session_files_, std::vector<std::string>{path});

  const std::string want =
      "hello" + text("text/plain") + std::string(1, '\2') + text(href) + le64(5) + text("SVCACHE");
  EXPECT_EQ(base::read_file(path), want);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  TReadCacheFileStream reader(path);
  EXPECT_EQ(reader.GetSize(), 5);
  EXPECT_EQ(reader.mContentType, "text/plain");
  EXPECT_EQ(reader.mCacheType, TCacheType::ctSession);
  EXPECT_EQ(reader.mHref, href);
  EXPECT_EQ(read_all(reader), "hello");
  EXPECT_EQ(reader.Seek(0, SeekOrigin::kEnd), 5);
  reader.SetPosition(2);
  EXPECT_EQ(read_all(reader), "llo");
  EXPECT_EQ(failure_message([&] { reader.SetSize(1); }), "Stream is not resizable");
}

TEST_F(AppCacheTest, SendsHtmlWhenNoContentTypeIsNamed) {
  struct Case {
    const char* given;
    const char* stored;
  };
  constexpr Case kCases[] = {
      {"", "text/html; charset=UTF-8"},
      {"image/png", "image/png"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.given);
    std::string href;
    auto cache = TSvAppCache::NewSessionCacheStream(&session_, c.given, href);
    EXPECT_EQ(cache->mContentType, c.stored);
    const std::string path = cache->mFilename;
    cache->Close();
    TReadCacheFileStream reader(path);
    EXPECT_EQ(reader.mContentType, c.stored);
  }
}

TEST_F(AppCacheTest, ListsFilesWithTheirOwner) {
  struct Case {
    TCacheType type;
    size_t app, session, form;
  };
  constexpr Case kCases[] = {
      {TCacheType::ctOneTime, 0, 0, 0},
      {TCacheType::ctApp, 1, 0, 0},
      {TCacheType::ctSession, 0, 1, 0},
      {TCacheType::ctForm, 0, 0, 1},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    session_files_.clear();
    form_files_.clear();
    TSvAppCache::ClearAppCache();
    std::string href;
    auto cache = TSvAppCache::NewCacheStream(&form_, "image/png", c.type, href);
    EXPECT_EQ(TSvAppCache::AppCacheFiles().size(), c.app);
    EXPECT_EQ(session_files_.size(), c.session);
    EXPECT_EQ(form_files_.size(), c.form);
    // Server-wide files belong to no session.
    EXPECT_EQ(TSvAppCache::OwnerOf(cache->mFilename), c.app == 1 ? "" : app_id_);
  }
  EXPECT_EQ(TSvAppCache::OwnerOf(dir_.tmp() + "other.tmp"), std::nullopt);
}

TEST_F(AppCacheTest, RefusesOwnersWithoutSessionOrForm) {
  const CacheOwner no_session;
  struct Case {
    const CacheOwner* owner;
    TCacheType type;
    const char* message;
  };
  const Case kCases[] = {
      {nullptr, TCacheType::ctSession, "Cache owner must be specified."},
      {&no_session, TCacheType::ctOneTime, "Session object is not defined."},
      {&session_, TCacheType::ctForm, "SvForm object is not defined."},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    std::string href;
    EXPECT_EQ(failure_message([&] { TSvAppCache::NewCacheStream(c.owner, "a/b", c.type, href); }),
              c.message);
    EXPECT_EQ(failure_message(
                  [&] { TSvAppCache::NewCacheStream(c.owner, "x.tmp", "a/b", c.type, href); }),
              c.message);
  }
  EXPECT_FALSE(base::file_exists(dir_.tmp() + "x.tmp"));
  EXPECT_TRUE(session_files_.empty());
  std::string href;
  EXPECT_EQ(failure_message([&] {
              TSvAppCache::NewCacheStream(&session_, "/elsewhere/x.tmp", "a/b",
                                          TCacheType::ctSession, href);
            }),
            "File \"" + dir_.tmp() + "x.tmp\" does not exist.");
}

TEST_F(AppCacheTest, RejectsDamagedCacheFiles) {
  const std::string body = "0123456789";
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case kCases[] = {
      {"empty", "", "Invalid cache file"},
      {"short", "abc", "Invalid cache file"},
      {"no magic", body + text("t") + "\1" + text("h") + le64(10) + text("SVCACHX"),
       "Invalid cache file"},
      {"lower-case magic", body + text("t") + "\1" + text("h") + le64(10) + text("svcache"),
       "Invalid cache file"},
      {"body too large", body + text("t") + "\1" + text("h") + le64(999) + text("SVCACHE"),
       "Cache file is corrupted"},
      {"body negative", body + text("t") + "\1" + text("h") + le64(-1) + text("SVCACHE"),
       "Cache file is corrupted"},
      {"trailer damaged", body + le32(5000) + le64(10) + text("SVCACHE"),
       "Cache file is corrupted"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.tmp() + "damaged.tmp";
    base::write_file(path, c.bytes);
    EXPECT_EQ(failure_message([&] { TReadCacheFileStream reader(path); }), c.message);
  }
  EXPECT_NE(failure_message([&] {
              TReadCacheFileStream reader(dir_.tmp() + "missing.tmp");
            }).find("Cannot open file"),
            std::string::npos);
}

TEST_F(AppCacheTest, DeletesOneTimeFilesOnceRead) {
  struct Case {
    TCacheType type;
    bool survives;
  };
  constexpr Case kCases[] = {
      {TCacheType::ctOneTime, false},
      {TCacheType::ctSession, true},
      {TCacheType::ctApp, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    std::string href;
    std::string path;
    {
      auto cache = TSvAppCache::NewCacheStream(&session_, "text/html", c.type, href);
      cache->WriteBuffer("page", 4);
      path = cache->mFilename;
    }
    {
      TReadCacheFileStream reader(path);
      EXPECT_EQ(read_all(reader), "page");
    }
    EXPECT_EQ(base::file_exists(path), c.survives);
  }
}

// The cache file's path for an href of this fixture's session.
std::string cached_path(const std::string& dir, const std::string& href) {
  return dir + href.substr(std::string("/abc/$/temp/").size()) + ".tmp";
}

TEST_F(AppCacheTest, AddsFilesToTheCache) {
  testing::TempFolder outside;
  testing::TempFolder other;
  base::write_file(outside.root() + "report.pdf", "%PDF one");
  base::write_file(other.root() + "report.pdf", "%PDF two");
  base::write_file(dir_.tmp() + "chart.png", "PNG");
  struct Case {
    std::string file;
    const char* body;
    TCacheType type;
    bool source_stays;
  };
  // Two files of one name, and a file inside the cache folder (moved in).
  const Case cases[] = {
      {outside.root() + "report.pdf", "%PDF one", TCacheType::ctSession, true},
      {other.root() + "report.pdf", "%PDF two", TCacheType::ctSession, true},
      {dir_.tmp() + "chart.png", "PNG", TCacheType::ctOneTime, false},
  };
  std::vector<std::string> hrefs;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string href =
        TSvAppCache::AddFileToCache(&session_, c.file, "application/pdf", c.type);
    ASSERT_TRUE(href.starts_with("/abc/$/temp/QVK")) << href;
    EXPECT_EQ(std::find(hrefs.begin(), hrefs.end(), href), hrefs.end());
    hrefs.push_back(href);
    EXPECT_EQ(base::file_exists(c.file), c.source_stays);
    const std::string path = cached_path(dir_.tmp(), href);
    EXPECT_EQ(TSvAppCache::OwnerOf(path), app_id_);
    TReadCacheFileStream reader(path);
    EXPECT_EQ(read_all(reader), c.body);
    EXPECT_EQ(reader.mContentType, "application/pdf");
    EXPECT_EQ(reader.mHref, href);
  }

  EXPECT_EQ(failure_message([&] {
              TSvAppCache::AddFileToCache(&session_, outside.root() + "none.txt", "text/plain",
                                          TCacheType::ctSession);
            }),
            "Can't add file \"" + outside.root() + "none.txt\" to cache. The file does not exist.");
}

TEST_F(AppCacheTest, CopiesStreamsAndResources) {
  TSvMemoryStream source;
  source.WriteBuffer("streamed", 8);
  const std::string href =
      TSvAppCache::StreamToCacheFile(&session_, source, "text/plain", TCacheType::ctSession);
  ASSERT_EQ(session_files_.size(), 1u);
  {
    TReadCacheFileStream reader(session_files_[0]);
    EXPECT_EQ(read_all(reader), "streamed");
    EXPECT_EQ(reader.mHref, href);
  }
  EXPECT_EQ(TSvAppCache::StreamToCacheFile(&session_, source, "text/plain", TCacheType::ctSession,
                                           "/any/where/named.tmp"),
            "/abc/$/temp/named");
  {
    TReadCacheFileStream reader(dir_.tmp() + "named.tmp");
    EXPECT_EQ(read_all(reader), "streamed");
  }
  TSvAppCache::ResourceToCacheFile(&session_, "SV_GFX_TP", "image/gif", TCacheType::ctSession);
  TReadCacheFileStream gif(session_files_.back());
  EXPECT_EQ(read_all(gif), *find_embedded_resource("SV_GFX_TP"));
  EXPECT_EQ(gif.mContentType, "image/gif");
}

TEST_F(AppCacheTest, ClearCacheKeepsWhatItCannotDelete) {
  base::write_file(dir_.tmp() + "a.tmp", "a");
  base::write_file(dir_.tmp() + "b.tmp", "b");
  base::force_directories(dir_.tmp() + "folder.tmp");
  std::vector<std::string> list = {dir_.tmp() + "a.tmp", dir_.tmp() + "folder.tmp",
                                   dir_.tmp() + "gone.tmp", dir_.tmp() + "b.tmp"};
  EXPECT_EQ(TSvAppCache::ClearCache(list), 1);
  EXPECT_EQ(list, std::vector<std::string>{dir_.tmp() + "folder.tmp"});
  EXPECT_FALSE(base::file_exists(dir_.tmp() + "a.tmp"));
  EXPECT_FALSE(base::file_exists(dir_.tmp() + "b.tmp"));

  std::string href;
  const std::string path = TSvAppCache::NewAppCacheStream(&session_, "text/plain", href)->mFilename;
  EXPECT_TRUE(base::file_exists(path));
  EXPECT_EQ(TSvAppCache::ClearAppCache(), 0);
  EXPECT_FALSE(base::file_exists(path));
  EXPECT_TRUE(TSvAppCache::AppCacheFiles().empty());
}

TEST_F(AppCacheTest, NamesTemporaryFilesInTheCacheFolder) {
  const std::string a = TSvAppCache::NewTempFileName();
  const std::string b = TSvAppCache::NewTempFileName(".png");
  std::string href;
  const std::string c = TSvAppCache::NewSessionCacheStream(&session_, "", href)->mFilename;
  for (const std::string& name : {a, b, c}) {
    SCOPED_TRACE(name);
    // "QVK", 32 random hexadecimal digits, then the stamp: no client can guess the name.
    ASSERT_TRUE(base::starts_with(name, dir_.tmp() + "QVK"));
    const std::string random = name.substr(dir_.tmp().size() + 3, 32);
    EXPECT_EQ(random.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(name.substr(dir_.tmp().size() + 35, temp_name_stamp().size()), temp_name_stamp());
  }
  EXPECT_NE(a.substr(dir_.tmp().size() + 3, 32), b.substr(dir_.tmp().size() + 3, 32));
  EXPECT_TRUE(base::ends_with(a, ".tmp"));
  EXPECT_TRUE(base::ends_with(b, ".png"));
}

}  // namespace
}  // namespace appsrv::server
