#include "server/http/mime_types.h"

#include <gtest/gtest.h>

#include "base/files.h"
#include "base/text.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

TEST(MimeTypesTest, TellsStaticFilesByExtension) {
  struct Case {
    const char* name;
    bool is_static;
    const char* type;  // when static
  };
  constexpr Case kCases[] = {
      {"", false, ""},
      {"/", false, ""},
      {"/a/b.css", true, "text/css; charset=UTF-8"},
      {"/a/b.html", false, ""},
      {"/a/b.HTM", false, ""},
      {"/x/APP.JS", true, "application/x-javascript; charset=UTF-8"},
      {"/img/p.Jpe", true, "image/jpeg"},
      {"/d.gzip", true, "application/x-gzip"},
      {"/favicon.ico", true, "image/x-ico"},
      {"/upload.tmp", false, ""},
      {"/setup.exe", false, ""},
      {"/a.css/readme", false, ""},
      {"/file.", false, ""},
      {"/notes.foo", false, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MimeTypes::IsStaticFile(c.name), c.is_static);
    std::string type = "unchanged";
    EXPECT_EQ(MimeTypes::IsStaticFile(c.name, type), c.is_static);
    EXPECT_EQ(type, c.is_static ? c.type : "unchanged");
  }
}

TEST(MimeTypesTest, HoldsTheBuiltInTable) {
  struct Case {
    const char* extension;
    const char* type;
    bool is_static;
  };
  constexpr Case kCases[] = {
      {".JS", "application/x-javascript; charset=UTF-8", true},
      {".CSS", "text/css; charset=UTF-8", true},
      {".PNG", "image/png", true},
      {".JPG", "image/jpeg", true},
      {".JPEG", "image/jpeg", true},
      {".JPE", "image/jpeg", true},
      {".GIF", "image/gif", true},
      {".WAV", "audio/wav", true},
      {".OGG", "audio/ogg", true},
      {".MP3", "audio/mpeg", true},
      {".WMV", "video/x-ms-wmv", true},
      {".MOV", "video/quicktime", true},
      {".AVI", "video/x-msvideo", true},
      {".MPG", "video/mpeg", true},
      {".MPEG", "video/mpeg", true},
      {".SWF", "application/x-shockwave-flash", true},
      {".ZIP", "application/zip", true},
      {".PDF", "application/pdf", true},
      {".XML", "text/xml; charset=UTF-8", true},
      {".ICO", "image/x-ico", true},
      {".TXT", "text/plain; charset=UTF-8", true},
      {".RSS", "application/rss+xml; charset=UTF-8", true},
      {".GZ", "application/x-gzip", true},
      {".GZIP", "application/x-gzip", true},
      {".HTML", "text/html; charset=UTF-8", false},
      {".HTM", "text/html; charset=UTF-8", false},
      {".EXE", "application/octet-stream", false},
      {".TMP", "application/octet-stream", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.extension);
    EXPECT_EQ(MimeTypes::GetAsString(c.extension), c.type);
    EXPECT_EQ(MimeTypes::GetAsString(base::ascii_lowercase(c.extension)), c.type);
    const std::string file = std::string("/dir/file") + c.extension;
    EXPECT_EQ(MimeTypes::IsStaticFile(file), c.is_static);
    std::string type;
    EXPECT_EQ(MimeTypes::IsStaticFile(file, type), c.is_static);
    EXPECT_EQ(type, c.is_static ? c.type : "");
  }
}

TEST(MimeTypesTest, GivesContentTypesFromTableThenPlatform) {
  testing::TempFolder dir;
  base::write_file(dir.root() + "mime.types",
                   "# comment line\n"
                   "application/x-foo\t\tfoo fooz\n"
                   "text/x-other foo\n"
                   "image/x-table-loses png\n"
                   "application/ignored\n");
  MimeTypes::LoadPlatformTypes(dir.root() + "mime.types");
  struct Case {
    const char* extension;
    const char* type;
  };
  constexpr Case kCases[] = {
      {".js", "application/x-javascript; charset=UTF-8"},
      {"JS", "application/x-javascript; charset=UTF-8"},
      {".HtM", "text/html; charset=UTF-8"},
      {".tmp", "application/octet-stream"},
      {".png", "image/png"},
      {".foo", "application/x-foo"},
      {".FOOZ", "application/x-foo"},
      {".bar", "application/octet-stream"},
      {"", "application/octet-stream"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.extension);
    EXPECT_EQ(MimeTypes::GetAsString(c.extension), c.type);
  }
  MimeTypes::LoadPlatformTypes(dir.root() + "missing.types");
  EXPECT_EQ(MimeTypes::GetAsString(".foo"), "application/octet-stream");
  MimeTypes::LoadPlatformTypes("/etc/mime.types");
}

TEST(MimeTypesTest, RegisterTypeAddsAndReplaces) {
  MimeTypes::RegisterType("svtest", "text/x-one", true);
  EXPECT_EQ(MimeTypes::GetAsString(".SVTEST"), "text/x-one");
  EXPECT_TRUE(MimeTypes::IsStaticFile("/a.svtest"));
  MimeTypes::RegisterType(".SvTest", "text/x-two", false);
  EXPECT_EQ(MimeTypes::GetAsString(".svtest"), "text/x-two");
  EXPECT_FALSE(MimeTypes::IsStaticFile("/a.svtest"));
}

TEST(MimeTypesTest, TellsImageFiles) {
  struct Case {
    const char* name;
    bool is_image;
  };
  constexpr Case kCases[] = {
      {"a.jpg", true},  {"a.PNG", true},  {"/x/a.Gif", true}, {"a.jpeg", true}, {"a.JPE", true},
      {"a.ico", false}, {"a.bmp", false}, {"jpg", false},     {"", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MimeTypes::IsImageFile(c.name), c.is_image);
  }
}

TEST(MimeTypesTest, ParsesMimeTypesText) {
  const auto types = parse_mime_types("a/b x Y\r\n# c/d z\n\tc/d  z  x\n  \ne/f # g\n");
  const std::map<std::string, std::string> want = {{".x", "a/b"}, {".y", "a/b"}, {".z", "c/d"}};
  EXPECT_EQ(types, want);
}

}  // namespace
}  // namespace appsrv::server
