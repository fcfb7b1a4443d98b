#include "server/session/browser.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <optional>

#include "base/text.h"

namespace appsrv::server {

namespace {

using Words = std::initializer_list<std::string_view>;

// Every word below is upper case; the user agent is upper-cased before matching.

bool has(std::string_view ua, std::string_view word) {
  return ua.find(word) != std::string_view::npos;
}

bool all_of(std::string_view ua, Words words) {
  for (std::string_view w : words) {
    if (!has(ua, w)) {
      return false;
    }
  }
  return true;
}

bool any_of(std::string_view ua, Words words) {
  for (std::string_view w : words) {
    if (has(ua, w)) {
      return true;
    }
  }
  return false;
}

bool none_of(std::string_view ua, Words words) { return !any_of(ua, words); }

bool has_mobile_word(std::string_view ua) { return any_of(ua, {"MOBILE", "ANDROID", "TABLET"}); }

// Text after the first occurrence of `marker`, cut before `until` when that follows; nullopt
// without the marker.
std::optional<std::string_view> after(std::string_view ua, std::string_view marker,
                                      std::string_view until = {}) {
  const size_t pos = ua.find(marker);
  if (pos == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view rest = ua.substr(pos + marker.size());
  if (!until.empty()) {
    rest = rest.substr(0, rest.find(until));
  }
  return rest;
}

// Parsed version after a marker, or 0 without the marker.
float version_after(std::string_view ua, std::string_view marker, std::string_view until = {}) {
  const auto text = after(ua, marker, until);
  return text ? TBrowser::ParseBrowserVersion(*text) : 0.0F;
}

float or_default(float version, float fallback) { return version == 0.0F ? fallback : version; }

}  // namespace

namespace {

// The integer part of a version a client wrote; absurdly large ones stop at the int range.
int32_t major_version(float version) {
  if (!(version < 2147483520.0F)) {  // the largest float below 2^31; NaN lands here too
    return std::isnan(version) ? 0 : INT32_MAX;
  }
  return static_cast<int32_t>(std::trunc(version));
}

}  // namespace

TBrowser::TBrowser(float version, float min_supported, std::string_view name, bool mobile)
    : mMajorVersion(major_version(version)),
      mVersion(version),
      mMinSupportedVersion(min_supported),
      mBrowserName(name),
      mIsMobile(mobile) {}

float TBrowser::ParseBrowserVersion(std::string_view aVersion) {
  std::string text = base::replace_all(aVersion, ",", ".");
  text = text.substr(0, text.find(' '));
  const size_t dot = text.find('.');
  std::string major = text.substr(0, dot);
  std::string minor;
  if (dot != std::string::npos) {
    minor = text.substr(dot + 1);
    minor = minor.substr(0, minor.find('.'));
  }
  auto digits_only = [](std::string& part) {
    size_t n = 0;
    while (n < part.size() && part[n] >= '0' && part[n] <= '9') {
      ++n;
    }
    part.resize(n);
    if (part.empty()) {
      part.assign(1, '0');
    }
  };
  digits_only(major);
  digits_only(minor);
  const std::string number = major + "." + minor;
  return std::strtof(number.c_str(), nullptr);
}

std::unique_ptr<TBrowser> TBrowser::CreateBrowser(std::string_view aUserAgent) {
  return TBrowsers::Instance().Classify(aUserAgent);
}

bool TFirefoxMobile::Match(std::string_view ua, float& version) {
  if (!has(ua, "FIREFOX") || !has_mobile_word(ua)) {
    return false;
  }
  version = or_default(version_after(ua, "FIREFOX/"), 14.0F);
  return true;
}

bool TFirefox::Match(std::string_view ua, float& version) {
  if (!has(ua, "FIREFOX") || has_mobile_word(ua)) {
    return false;
  }
  version = or_default(version_after(ua, "FIREFOX/"), 3.6F);
  return true;
}

bool TInternetExplorer::Match(std::string_view ua, float& version) {
  if (has(ua, "MSIE")) {
    version = version_after(ua, "MSIE ", ";");
    return true;
  }
  if (has(ua, "TRIDENT/")) {
    version = version_after(ua, "RV:", ")");
    return true;
  }
  return false;
}

bool TOperaNext::Match(std::string_view ua, float& version) {
  if (!all_of(ua, {"OPR/", "APPLEWEBKIT"}) || has_mobile_word(ua)) {
    return false;
  }
  version = or_default(version_after(ua, "OPR/"), 15.0F);
  return true;
}

bool TChromeMobile::Match(std::string_view ua, float& version) {
  if (any_of(ua, {"OPERA", "OPR/", "SAMSUNGBROWSER"})) {
    return false;
  }
  const bool chrome_mobile = has(ua, "CHROME") && has_mobile_word(ua);
  if (!chrome_mobile && !has(ua, "CRIOS")) {
    return false;
  }
  float v = version_after(ua, "CHROME/", " ");
  if (v == 0.0F) {
    v = version_after(ua, "CRIOS/", " ");
  }
  version = or_default(v, 18.0F);
  return true;
}

bool TChrome::Match(std::string_view ua, float& version) {
  if (!has(ua, "CHROME") || has_mobile_word(ua)) {
    return false;
  }
  version = or_default(version_after(ua, "CHROME/", " "), 12.0F);
  return true;
}

bool TAndroid::Match(std::string_view ua, float& version) {
  if (has(ua, "OPR/")) {
    return false;
  }
  const bool android = all_of(ua, {"ANDROID", "SAFARI"});
  const bool mobile_webkit =
      all_of(ua, {"SAFARI", "APPLEWEBKIT", "MOBILE"}) && none_of(ua, {"IPHONE", "IPAD", "IPOD"});
  if (!android && !mobile_webkit) {
    return false;
  }
  // Without a version marker the version stays 0, so such a browser is not supported.
  const auto text = after(ua, "VERSION/");
  version = text ? or_default(ParseBrowserVersion(*text), 4.0F) : 0.0F;
  return true;
}

bool TSafariMobile::Match(std::string_view ua, float& version) {
  if (!all_of(ua, {"SAFARI", "APPLEWEBKIT", "MOBILE"}) || none_of(ua, {"IPHONE", "IPOD", "IPAD"})) {
    return false;
  }
  version = or_default(version_after(ua, "VERSION/", "SAFARI/"), 4.0F);
  return true;
}

bool TSafari::Match(std::string_view ua, float& version) {
  if (!all_of(ua, {"SAFARI", "APPLEWEBKIT"}) || has_mobile_word(ua)) {
    return false;
  }
  version = or_default(version_after(ua, "VERSION/", "SAFARI/"), 5.0F);
  return true;
}

bool TOperaMobile::Match(std::string_view ua, float& version) {
  const bool mobile = any_of(ua, {"OPERA MOBI/", "OPERA TABLET/"}) ||
                      (any_of(ua, {"OPERA", "OPR/"}) && has_mobile_word(ua));
  if (!mobile) {
    return false;
  }
  version = or_default(version_after(ua, "VERSION/"), 11.0F);
  return true;
}

bool TOpera::Match(std::string_view ua, float& version) {
  if (!all_of(ua, {"OPERA/", "PRESTO/"}) || any_of(ua, {"ANDROID", "MOBILE", "TABLET"})) {
    return false;
  }
  version = or_default(version_after(ua, "VERSION/"), 12.0F);
  return true;
}

bool TSearchEngine::Match(std::string_view ua, float& version) {
  if (none_of(ua, {"BOT",          "CRAWLER", "SPIDER",  "SEARCH", "AGENT",  "SPYDER",  "NEWSGATOR",
                   "ICHIRO",       "NYMESIS", "POST",    "POMPOS", "QSEERO", "SCRUBBY", "SCOUTJET",
                   "STACKRAMBLER", "TEOMA",   "ASK.COM", "YAHOO",  "YANDEX", "YETI/"})) {
    return false;
  }
  version = 0.0F;
  return true;
}

bool TOther::Match(std::string_view, float& version) {
  version = 0.0F;
  return true;
}

TBrowsers::TBrowsers()
    : classes_{
          BrowserClassOf<TFirefoxMobile>("TFirefoxMobile"),
          BrowserClassOf<TFirefox>("TFirefox"),
          BrowserClassOf<TInternetExplorer>("TInternetExplorer"),
          BrowserClassOf<TOperaNext>("TOperaNext"),
          BrowserClassOf<TChromeMobile>("TChromeMobile"),
          BrowserClassOf<TChrome>("TChrome"),
          BrowserClassOf<TAndroid>("TAndroid"),
          BrowserClassOf<TSafariMobile>("TSafariMobile"),
          BrowserClassOf<TSafari>("TSafari"),
          BrowserClassOf<TOperaMobile>("TOperaMobile"),
          BrowserClassOf<TOpera>("TOpera"),
          BrowserClassOf<TSearchEngine>("TSearchEngine"),
          BrowserClassOf<TOther>("TOther"),
      } {}

TBrowsers& TBrowsers::Instance() {
  static TBrowsers instance;
  return instance;
}

void TBrowsers::RegisterBrowser(const TBrowserClass& ABrowserClass, bool InsertOnTop) {
  std::scoped_lock lock(mu_);
  for (const TBrowserClass& c : classes_) {
    if (c.name == ABrowserClass.name) {
      return;
    }
  }
  const auto keep_last = static_cast<std::ptrdiff_t>(classes_.size() >= 2 ? 2 : classes_.size());
  const auto at = InsertOnTop ? classes_.begin() : classes_.end() - keep_last;
  classes_.insert(at, ABrowserClass);
}

std::vector<TBrowserClass> TBrowsers::classes() const {
  std::scoped_lock lock(mu_);
  return classes_;
}

std::unique_ptr<TBrowser> TBrowsers::Classify(std::string_view user_agent) const {
  const std::string upper = base::ascii_uppercase(user_agent);
  std::unique_ptr<TBrowser> browser;
  {
    std::scoped_lock lock(mu_);
    for (const TBrowserClass& c : classes_) {
      float version = 0.0F;
      if (c.Match(upper, version)) {
        browser = c.Create(version);
        break;
      }
    }
  }
  if (!browser) {
    browser = std::make_unique<TOther>(0.0F);
  }
  browser->mUserAgent = std::string(user_agent);
  return browser;
}

}  // namespace appsrv::server
