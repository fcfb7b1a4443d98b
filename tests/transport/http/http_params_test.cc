#include "transport/http/http_params.h"

#include <gtest/gtest.h>

namespace appsrv::transport {
namespace {

TEST(Params, UrlDecodeEscapes) {
  const IInTextEncoding& utf8 = *utf8_encoding();
  const IInTextEncoding& latin1 = *CharsetToEncoding("ISO-8859-1");
  struct Case {
    std::string_view text;
    const IInTextEncoding* encoding;
    std::string_view decoded;
  };
  const Case kCases[] = {
      {"a%20b+c", &utf8, "a b+c"},
      {"J%C3%BCrgen", &utf8, "J\xC3\xBCrgen"},
      {"J%C3%BCrgen", &latin1, "J\xC3\x83\xC2\xBCrgen"},  // two Latin-1 characters
      {"%u00FC", &utf8, "\xC3\xBC"},
      {"%U20AC", &utf8, "\xE2\x82\xAC"},
      {"%u00FC", &latin1, "\xC3\xBC"},
      {"%u20AC", &latin1, "?"},           // not in Latin-1
      {"%uD83D", &utf8, "\xEF\xBF\xBD"},  // a lone surrogate
      {"%zz!", &utf8, "!"},               // not hex: nothing added
      {"%uzzzz!", &utf8, "!"},
      {"%41%", &utf8, "A"},
      {"%4", &utf8, "\x04"},
      {"%00x", &utf8, std::string_view("\0x", 2)},
      {"%FF", &utf8, "\xEF\xBF\xBD"},  // not UTF-8
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(url_decode(c.text, *c.encoding), c.decoded);
  }
}

TEST(Params, DecodeParamsCutsAtAmpersandsKeepingEmptyPieces) {
  const IInTextEncoding& utf8 = *utf8_encoding();
  struct Case {
    std::string_view text;
    std::vector<std::string> lines;
  };
  const Case kCases[] = {
      {"a=1&&b=x+y%20z", {"a=1", "", "b=x y z"}},
      {"", {}},
      {"&a", {"", "a"}},
      {"a&", {"a"}},
      {"n%3Dm=v", {"n=m=v"}},
      {"p=%2B1", {"p=+1"}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode_params(c.text, utf8), c.lines);
  }
}

TEST(Params, UnparsedParamsJoinFormAndQuery) {
  EXPECT_EQ(join_unparsed_params("a=1", "b=2"), "a=1&b=2");
  EXPECT_EQ(join_unparsed_params("", "b=2"), "b=2");
  EXPECT_EQ(join_unparsed_params("a=1", ""), "a=1");
}

TEST(Params, CharsetsOfTheRequest) {
  EXPECT_EQ(url_decode("%C3%BC", *CharsetToEncoding("no-such-charset")), "\xC3\xBC");
  // A charset the platform converts: windows-1252 has the euro sign at 0x80.
  EXPECT_EQ(url_decode("%80", *CharsetToEncoding("windows-1252")), "\xE2\x82\xAC");
  EXPECT_EQ(url_decode("%u20AC", *CharsetToEncoding("windows-1252")), "\xE2\x82\xAC");
}

}  // namespace
}  // namespace appsrv::transport
