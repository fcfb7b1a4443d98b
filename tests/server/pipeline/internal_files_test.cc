#include "server/pipeline/internal_files.h"

#include <gtest/gtest.h>

#include "base/files.h"
#include "server/pipeline/compress_stream.h"
#include "server/pipeline/embedded_resources.h"
#include "tests/server/inflate_util.h"
#include "tests/server/test_support.h"

namespace appsrv::server {
namespace {

using testing::failure_message;
using testing::inflate_all;

TEST(InternalFilesTest, RegistersTheBuiltInFiles) {
  TSvServerInternalFiles files;
  struct Case {
    const char* name;
    std::string_view starts_with;
  };
  const Case kCases[] = {
      {"SV_FAVICON", std::string_view("\0\0\1\0", 4)},
      {"SV_GFX_Tp", "GIF89a"},
      {"sv_gfx_LOADING", "GIF89a"},
      {"SV_GFX_SvLogo", "\x89PNG"},
      {"SV_GFX_ERROR", "<!DOCTYPE html>"},
      {"SV_GFX_SECURITYCHECK", "<!DOCTYPE html>"},
      {"SV_GFX_SESSIONTIMEOUT", "<!DOCTYPE html>"},
      {"SV_GFX_SESSIONINVALID", "<!DOCTYPE html>"},
      {"SV_JS_SVBASE", "// SvBase"},
      {"SV_JS_SVBACKINTERCEPT", "// SvBackIntercept"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(files.ResourceExists(c.name));
    const InternalFileView v = files.ResourceAsStream(c.name);
    EXPECT_TRUE(v.enable_cache);
    EXPECT_FALSE(v.is_compressed);
    EXPECT_EQ(v.view().substr(0, c.starts_with.size()), c.starts_with);
    EXPECT_EQ(v.view(), *find_embedded_resource(c.name));
  }
  EXPECT_FALSE(files.ResourceExists("SV_JS_SVAJAX"));
  EXPECT_FALSE(files.ResourceExists("SV_JS_SVAJAX_DBG"));
}

TEST(InternalFilesTest, GivesEveryEntryItsFileName) {
  testing::TempFolder dir;
  TSvServerInternalFiles files;
  files.WriteAllToDisk(dir.root());
  struct Case {
    const char* name;
    const char* file;
  };
  constexpr Case kCases[] = {
      {"SV_FAVICON", "FAVICON.ICO"},
      {"SV_GFX_SECURITYCHECK", "SecurityCheckError.html"},
      {"SV_GFX_ERROR", "Error.html"},
      {"SV_GFX_SESSIONTIMEOUT", "SessionTimeout.html"},
      {"SV_GFX_SESSIONINVALID", "SessionInvalid.html"},
      {"SV_JS_SVBASE", "js/SvBase.js"},
      {"SV_JS_SVLIB", "js/SvLib.js"},
      {"SV_JS_SVEXPLORER", "js/SvExplorer.js"},
      {"SV_JS_SVGECKO", "js/SvGecko.js"},
      {"SV_JS_SVBACKINTERCEPT", "js/SvBackIntercept.js"},
      {"SV_GFX_TP", "gfx/Tp.gif"},
      {"SV_GFX_LOADING", "gfx/loading.gif"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(files.ResourceExists(c.name));
    EXPECT_EQ(base::read_file(dir.root() + c.file), *find_embedded_resource(c.name));
  }
}

TEST(InternalFilesTest, ReportsMissingFiles) {
  TSvServerInternalFiles files;
  struct Case {
    std::function<void()> call;
    const char* message;
  };
  const Case kCases[] = {
      {[&] { files.ResourceAsStream("SV_JS_Nope"); }, "Resource SV_JS_Nope not found."},
      {[&] { files.ResourceAsString("sv_x"); }, "Resource SV_X not found."},
      {[&] { files.Add("SV_NOPE", "/x.js"); }, "Cannot find internal file: SV_NOPE"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(failure_message(c.call), c.message);
  }
  EXPECT_THROW(files.ResourceAsStream("SV_JS_Nope"), ESvInvalidResourceException);
  EXPECT_THROW(files.AddFromFile("/nonexistent/file.js", "SV_JS_X", "/js/x.js"), base::Exception);
}

TEST(InternalFilesTest, PreCompressesScriptsAndStylesOnly) {
  TSvServerInternalFiles files;
  const std::string gz = compress_bytes("body{}", 1, false);
  files.AddStream("p{}", "SV_CSS_MAIN", "/css/main.css");
  files.AddStream(gz, "SV_CSS_PACKED", "/css/packed.css");
  files.AddStream("x", "SV_JS_TINY", "/js/tiny.js");
  files.SetPreCompressFiles(true);
  struct Case {
    const char* name;
    bool compressed;
    std::string plain;
  };
  const Case kCases[] = {
      {"SV_JS_SVBASE", true, std::string(*find_embedded_resource("SV_JS_SVBASE"))},
      {"SV_CSS_MAIN", true, "p{}"},
      {"SV_CSS_PACKED", true, "body{}"},
      {"SV_JS_TINY", true, "x"},
      {"SV_GFX_ERROR", false, std::string(*find_embedded_resource("SV_GFX_ERROR"))},
      {"SV_FAVICON", false, std::string(*find_embedded_resource("SV_FAVICON"))},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const InternalFileView v = files.ResourceAsStream(c.name);
    EXPECT_EQ(v.is_compressed, c.compressed);
    EXPECT_EQ(c.compressed ? inflate_all(v.view(), 31) : std::string(v.view()), c.plain);
  }
  // Already gzip data is marked, not compressed twice.
  EXPECT_EQ(files.ResourceAsStream("SV_CSS_PACKED").view(), gz);
  // Replacing an entry clears its mark.
  files.AddStream("q{}", "SV_CSS_MAIN", "/css/main.css");
  EXPECT_FALSE(files.ResourceAsStream("SV_CSS_MAIN").is_compressed);
  EXPECT_EQ(files.ResourceAsStream("SV_CSS_MAIN").view(), "q{}");
}

// The scripts are kept in one readable form: asking for readable scripts serves the same
// bytes, pre-compressed or not, and the program carries no second set of scripts to fall behind.
TEST(InternalFilesTest, ReadableScriptsAreTheScriptsThemselves) {
  for (const bool pre_compress : {false, true}) {
    SCOPED_TRACE(pre_compress);
    TSvServerInternalFiles plain;
    TSvServerInternalFiles readable;
    plain.SetPreCompressFiles(pre_compress);
    readable.SetUseUncompressedFiles(true);
    readable.SetPreCompressFiles(pre_compress);
    for (size_t i = 0; i < kEmbeddedResourceCount; ++i) {
      const std::string name = kEmbeddedResources[i].name;
      SCOPED_TRACE(name);
      ASSERT_TRUE(readable.ResourceExists(name));
      EXPECT_EQ(readable.ResourceAsStream(name).view(), plain.ResourceAsStream(name).view());
      EXPECT_EQ(name.find("_DBG"), std::string::npos);
    }
  }
}

TEST(InternalFilesTest, AsksTheHookForNamesItDoesNotHold) {
  TSvServerInternalFiles files;
  std::vector<std::string> asked;
  files.SetOnResourceNeeded([&](std::string_view name, std::string& bytes, bool& cacheable) {
    asked.emplace_back(name);
    if (name != "SV_GFX_DYN") {
      return false;
    }
    bytes = "dynamic";
    cacheable = false;
    return true;
  });
  const InternalFileView v = files.ResourceAsStream("SV_GFX_DYN");
  EXPECT_EQ(v.view(), "dynamic");
  EXPECT_FALSE(v.enable_cache);
  EXPECT_FALSE(v.is_compressed);
  EXPECT_FALSE(files.ResourceExists("SV_GFX_OTHER"));
  files.ResourceAsStream("SV_GFX_TP");
  EXPECT_EQ(asked, (std::vector<std::string>{"SV_GFX_DYN", "SV_GFX_OTHER"}));
}

TEST(InternalFilesTest, ViewsOutliveReplacedEntries) {
  TSvServerInternalFiles files;
  files.AddStream("old", "SV_JS_X", "/js/x.js");
  const InternalFileView v = files.ResourceAsStream("SV_JS_X");
  files.AddStream("new", "SV_JS_X", "/js/x.js");
  EXPECT_EQ(v.view(), "old");
  EXPECT_EQ(files.ResourceAsString("sv_js_x"), "new");
}

TEST(InternalFilesTest, LoadsFilesAndWritesAllToDisk) {
  testing::TempFolder dir;
  base::write_file(dir.root() + "extra.css", "a{}");
  TSvServerInternalFiles files;
  files.AddFromFile(dir.root() + "extra.css", "SV_CSS_EXTRA", "/css/extra.css");
  files.AddStream("none", "SV_GFX_NONAME", "");
  base::force_directories(dir.root() + "out/js");
  base::write_file(dir.root() + "out/js/SvLib.js", "kept");
  files.WriteAllToDisk(dir.root() + "out");

  struct Case {
    const char* path;
    std::string bytes;
  };
  const Case kCases[] = {
      {"out/css/extra.css", "a{}"},
      {"out/FAVICON.ICO", std::string(*find_embedded_resource("SV_FAVICON"))},
      {"out/Error.html", std::string(*find_embedded_resource("SV_GFX_ERROR"))},
      {"out/gfx/Tp.gif", std::string(*find_embedded_resource("SV_GFX_TP"))},
      {"out/js/SvBase.js", std::string(*find_embedded_resource("SV_JS_SVBASE"))},
      {"out/js/SvLib.js", "kept"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(base::read_file(dir.root() + c.path), c.bytes);
  }

  int64_t total = 0;
  for (size_t i = 0; i < kEmbeddedResourceCount; ++i) {
    total += static_cast<int64_t>(kEmbeddedResources[i].size);
  }
  EXPECT_EQ(files.total_size(), total + 3 + 4);
}

}  // namespace
}  // namespace appsrv::server
