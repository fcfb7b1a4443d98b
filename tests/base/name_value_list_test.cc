#include "base/name_value_list.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

TEST(NameValueListTest, FirstMatchIgnoringCase) {
  NameValueList list;
  list.add("Function=Add");
  list.add("function=Second");
  list.add("Params={\"A\":1}");
  list.add("Empty=");
  list.add("NoSeparator");
  EXPECT_EQ(list.value("FUNCTION"), "Add");
  EXPECT_EQ(list.value("params"), "{\"A\":1}");  // only the first "=" separates
  EXPECT_EQ(list.value("Empty"), "");
  EXPECT_TRUE(list.contains("empty"));
  EXPECT_EQ(list.value("missing"), "");
  EXPECT_FALSE(list.contains("NoSeparator"));
  EXPECT_FALSE(list.contains("Func"));  // a prefix of a name is no match
}

TEST(NameValueListTest, SetValueReplacesFirstOrAppends) {
  NameValueList headers(':');
  headers.add("Cache-Control", " private");
  headers.set_value("cache-control", "no-cache");
  headers.set_value("Pragma", "no-cache");
  EXPECT_EQ(headers.lines(),
            (std::vector<std::string>{"cache-control:no-cache", "Pragma:no-cache"}));
  EXPECT_EQ(headers.text(), "cache-control:no-cache\r\nPragma:no-cache\r\n");
  EXPECT_EQ(headers.name_at(1), "Pragma");
  EXPECT_EQ(headers.value_at(1), "no-cache");
}

}  // namespace
}  // namespace appsrv::base
