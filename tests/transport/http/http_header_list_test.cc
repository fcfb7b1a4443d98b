#include "transport/http/http_header_list.h"

#include <gtest/gtest.h>

namespace appsrv::transport {
namespace {

TInHeaderList List(std::initializer_list<const char*> lines) {
  TInHeaderList list;
  for (const char* line : lines) {
    list.add(line);
  }
  return list;
}

TEST(HeaderList, LookupIgnoresCaseTakesFirstAndUnfolds) {
  const TInHeaderList h = List({"Host: a.example", "X-Long: first ", "  second\t", "\tthird",
                                "host: b.example", "Bare:value", "Empty:"});
  EXPECT_EQ(h.Values("HOST"), "a.example");
  EXPECT_EQ(h.Values("x-long"), "first second third");
  EXPECT_EQ(h.Values("Bare"), "value");
  EXPECT_EQ(h.Values("Empty"), "");
  EXPECT_EQ(h.Values("Missing"), "");
  EXPECT_EQ(h.Extract("Host"), (std::vector<std::string>{"a.example", "b.example"}));
}

TEST(HeaderList, AFieldNameIsATokenRightBeforeTheColon) {
  struct Case {
    std::string_view line;
    bool named;
  };
  const Case kCases[] = {
      {"Host: h", true},
      {"Host:h", true},
      {"Empty:", true},
      {"X-!#$%&'*+.^_`|~0: v", true},
      {"Transfer-Encoding : chunked", false},
      {"Transfer-Encoding\t: chunked", false},
      {" Host: h", false},
      {": v", false},
      {"No colon", false},
      {"NoColon", false},
      {"Ho st: h", false},
      {"Host\x80: h", false},
      {"\"Host\": h", false},
      {"Host(1): h", false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(has_field_name(c.line), c.named);
  }
}

TEST(HeaderList, ContinuationLineIsNotAHeaderOfItsOwn) {
  // A folded line that looks like "Name: value" must not answer a lookup for that name.
  const TInHeaderList h = List({"X-A: one", " Host: evil"});
  EXPECT_EQ(h.Values("Host"), "");
  EXPECT_EQ(h.Values("X-A"), "one Host: evil");
}

// FirstValues answers as Values does for each name, in one pass.
TEST(HeaderList, FirstValuesAgreeWithValues) {
  const TInHeaderList h = List({"Host: a.example", "X-Long: first ", "  second\t", " Host: evil",
                                "host: b.example", "no colon", "Bare:value", "Empty:"});
  const std::string_view names[] = {"HOST", "x-long", "Bare", "Empty", "Missing", "no colon"};
  std::vector<std::string> seen(std::size(names), "(none)");
  h.FirstValues(names, [&](size_t k, std::string value) {
    EXPECT_EQ(seen[k], "(none)") << names[k];
    seen[k] = std::move(value);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a.example", "first second Host: evil", "value", "",
                                            "(none)", "(none)"}));
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(seen[k], h.Values(names[k]));
  }

  // As many names as it takes, the last one found too; one more is refused.
  std::vector<std::string> many(TInHeaderList::kMaxFirstValuesNames, "X-Other");
  many.back() = "Bare";
  std::vector<std::string_view> views(many.begin(), many.end());
  std::string last;
  h.FirstValues(views, [&](size_t k, std::string value) {
    if (k + 1 == views.size()) {
      last = std::move(value);
    }
  });
  EXPECT_EQ(last, "value");
  views.push_back("Host");
  EXPECT_THROW(h.FirstValues(views, [](size_t, std::string) {}), std::invalid_argument);
}

TEST(HeaderList, SetValueReplacesInPlaceAppendsOrDeletes) {
  TInHeaderList h = List({"A: 1", "B: 2"});
  h.SetValue("a", "9");
  h.SetValue("C", "3");
  h.SetValue("B", "");
  EXPECT_EQ(h.lines(), (std::vector<std::string>{"a: 9", "C: 3"}));
}

}  // namespace
}  // namespace appsrv::transport
