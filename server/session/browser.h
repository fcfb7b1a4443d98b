// Client classification from the User-Agent header: browser kinds, versions, and the
// process-wide registry that tries them in order.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::server {

class TBrowser;

// A browser kind as a value: its name, its matcher and its factory. The registry holds these
// in the order in which they are tried.
struct TBrowserClass {
  std::string_view name;
  // Does the upper-cased user agent belong to this kind, and with which version.
  bool (*Match)(std::string_view upper_user_agent, float& version);
  std::unique_ptr<TBrowser> (*Create)(float version);
};

// A classified client. Owned by its session and used by one request at a time.
class TBrowser {
 public:
  virtual ~TBrowser() = default;

  virtual bool IsSupported() const {
    return mAllowOlderBrowsers || mVersion >= mMinSupportedVersion;
  }

  // Classifies a user agent with the registered kinds; never fails (the last kind matches
  // everything). `mUserAgent` keeps the text as received.
  static std::unique_ptr<TBrowser> CreateBrowser(std::string_view aUserAgent);

  // "38.0.2125.111" -> 38.0, "11.0)" -> 11.0, "5.1.7 Safari" -> 5.1; "," counts as ".".
  static float ParseBrowserVersion(std::string_view aVersion);

  int32_t mMajorVersion = 0;
  float mVersion = 0;
  float mMinSupportedVersion = 0;
  bool mAllowOlderBrowsers = false;
  bool mStrictMode = true;
  std::string mUserAgent;
  std::string mBrowserName;
  bool mIsMobile = false;

 protected:
  TBrowser(float version, float min_supported, std::string_view name, bool mobile);
};

class TFirefoxMobile : public TBrowser {
 public:
  explicit TFirefoxMobile(float version) : TBrowser(version, 14.0F, "Firefox Mobile", true) {}
  static bool Match(std::string_view ua, float& version);
};

class TFirefox : public TBrowser {
 public:
  explicit TFirefox(float version) : TBrowser(version, 3.6F, "Firefox", false) {}
  static bool Match(std::string_view ua, float& version);
};

class TInternetExplorer : public TBrowser {
 public:
  explicit TInternetExplorer(float version)
      : TBrowser(version, 7.0F, "Microsoft Internet Explorer", false) {}
  static bool Match(std::string_view ua, float& version);
};

// WebKit-based kinds; each subclass gives its own minimum version.
class TWebkit : public TBrowser {
 protected:
  using TBrowser::TBrowser;
};

class TOperaNext : public TWebkit {
 public:
  explicit TOperaNext(float version) : TWebkit(version, 15.0F, "Opera (Edition Next)", false) {}
  static bool Match(std::string_view ua, float& version);
};

class TChromeMobile : public TWebkit {
 public:
  explicit TChromeMobile(float version) : TWebkit(version, 18.0F, "Chrome Mobile", true) {}
  static bool Match(std::string_view ua, float& version);
};

class TChrome : public TWebkit {
 public:
  explicit TChrome(float version) : TWebkit(version, 12.0F, "Chrome", false) {}
  static bool Match(std::string_view ua, float& version);
};

class TAndroid : public TWebkit {
 public:
  explicit TAndroid(float version) : TWebkit(version, 4.0F, "Android Webkit Browser", true) {}
  static bool Match(std::string_view ua, float& version);
};

class TSafariMobile : public TWebkit {
 public:
  explicit TSafariMobile(float version) : TWebkit(version, 4.0F, "Safari Mobile", true) {}
  static bool Match(std::string_view ua, float& version);
};

class TSafari : public TWebkit {
 public:
  explicit TSafari(float version) : TWebkit(version, 5.0F, "Safari", false) {}
  static bool Match(std::string_view ua, float& version);
};

class TOperaMobile : public TBrowser {
 public:
  explicit TOperaMobile(float version) : TBrowser(version, 11.0F, "Opera Mobile", true) {}
  static bool Match(std::string_view ua, float& version);
};

class TOpera : public TBrowser {
 public:
  explicit TOpera(float version) : TBrowser(version, 12.0F, "Opera", false) {}
  static bool Match(std::string_view ua, float& version);
};

class TSearchEngine : public TBrowser {
 public:
  explicit TSearchEngine(float version) : TBrowser(version, 0.0F, "Search Engine", false) {}
  static bool Match(std::string_view ua, float& version);
  const std::string& GetEngineName() const { return mUserAgent; }
};

// Catch-all kind for agents nothing else recognises; never supported.
class TOther : public TBrowser {
 public:
  explicit TOther(float version) : TBrowser(version, 0.0F, "Unknown browser", false) {}
  static bool Match(std::string_view ua, float& version);
  bool IsSupported() const override { return false; }
};

// Descriptor of kind T for the registry.
template <class T>
TBrowserClass BrowserClassOf(std::string_view name) {
  return TBrowserClass{name, &T::Match, [](float version) -> std::unique_ptr<TBrowser> {
                         return std::make_unique<T>(version);
                       }};
}

// The process-wide, ordered list of browser kinds. Thread-safe: every operation takes mu_.
class TBrowsers {
 public:
  // A registry holding the thirteen kinds in their order.
  TBrowsers();
  // The process's registry, used by TBrowser::CreateBrowser.
  static TBrowsers& Instance();

  // Adds a kind unless one of that name is present: first when `InsertOnTop`, otherwise
  // before the last two kinds (the search engine and the catch-all).
  void RegisterBrowser(const TBrowserClass& ABrowserClass, bool InsertOnTop);
  std::vector<TBrowserClass> classes() const;
  std::unique_ptr<TBrowser> Classify(std::string_view user_agent) const;

 private:
  mutable std::mutex mu_;
  std::vector<TBrowserClass> classes_;  // guarded by mu_
};

}  // namespace appsrv::server
