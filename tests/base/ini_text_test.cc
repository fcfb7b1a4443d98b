#include "base/ini_text.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

TEST(IniText, ReadsTheKeyOfTheNamedSectionOnly) {
  const std::string text =
      "; comment\r\n[Other]\r\nPort=1\r\n[ ports ]\r\n;Port=2\r\n  port = 8080 \r\nPort=9\r\n";
  EXPECT_EQ(ini_value(text, "PORTS", "Port"), "8080");
  EXPECT_EQ(ini_value(text, "Other", "PORT"), "1");
  EXPECT_EQ(ini_value(text, "PORTS", "SSLPort"), std::nullopt);
  EXPECT_EQ(ini_value(text, "Missing", "Port"), std::nullopt);
  EXPECT_EQ(ini_value("[A]\nKey=\n", "A", "Key"), "");
}

TEST(IniText, ListsTheKeysOfASectionWhereverItOpens) {
  const std::string text =
      "[A]\r\n Port = 1\r\n;Hidden=2\r\nnot a key\r\n[B]\nX=1\n[a]\nMaxSesions=3\n";
  EXPECT_EQ(ini_keys(text, "A"), (std::vector<std::string>{"Port", "MaxSesions"}));
  EXPECT_EQ(ini_keys(text, "B"), (std::vector<std::string>{"X"}));
  EXPECT_TRUE(ini_keys(text, "C").empty());
}

TEST(IniText, SettingAValueKeepsEveryOtherLine) {
  struct Case {
    const char* text;
    const char* want;
  };
  const Case cases[] = {
      {"", "[Main]\nSSL=1\n"},
      {"[Main]\nSSL=0\nBrowser=2\n", "[Main]\nSSL=1\nBrowser=2\n"},
      {"[Main]\r\nssl = 0\r\n", "[Main]\r\nSSL=1\r\n"},
      {"[Main]\nStartBrowser=1\n\n[HTTP]\nSpeedLimit=0\n",
       "[Main]\nStartBrowser=1\nSSL=1\n\n[HTTP]\nSpeedLimit=0\n"},
      {"[HTTP]\nSpeedLimit=0", "[HTTP]\nSpeedLimit=0\n[Main]\nSSL=1\n"},
      {"[Other]\nSSL=0\n", "[Other]\nSSL=0\n[Main]\nSSL=1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string updated = ini_set_value(c.text, "Main", "SSL", "1");
    EXPECT_EQ(updated, c.want);
    EXPECT_EQ(ini_value(updated, "Main", "SSL"), "1");
  }
}

}  // namespace
}  // namespace appsrv::base
