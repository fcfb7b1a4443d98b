// The status page as a browser gets it: the whole document against the expected text, the
// files it names, the window size, form requests of other forms, the form settings that
// change the page, and the failures of form requests.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>

#include "render/page_context.h"
#include "server/http/http_reply.h"
#include "server/http/mime_types.h"
#include "tests/render/render_fixture.h"

namespace appsrv::render {
namespace {

using testing::Between;
using testing::PageFixture;

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(APPSRV_RENDER_FIXTURES) + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  // Kept with plain line ends in the source tree; the page ends every line with CR LF.
  return base::replace_all(s.str(), "\n", "\r\n");
}

std::string InitRects(const std::string& page) {
  return testing::Between(page, "InitRects(", ");");
}

// The text a double-quoted JavaScript string literal's body stands for, as a browser reads it
// (the escapes the renderer writes); nullopt when the body would end the string, its line or
// its script element early.
std::optional<std::string> ScriptStringValue(std::string_view body) {
  std::string out;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '"' || c == '<' || c == '\n' || c == '\r' || body.substr(i, 3) == "\xE2\x80\xA8" ||
        body.substr(i, 3) == "\xE2\x80\xA9") {
      return std::nullopt;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == body.size()) {
      return std::nullopt;
    }
    if (body[i] != 'u') {
      out += body[i];
      continue;
    }
    if (i + 4 >= body.size()) {
      return std::nullopt;
    }
    const unsigned code = std::stoul(std::string(body.substr(i + 1, 4)), nullptr, 16);
    i += 4;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else {
      // Only the line terminators need three bytes here.
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// Settings text that would break out of a script string if written as it is.
const std::string kHostileTexts[] = {
    "</script><script>alert(1)//", "</SCRIPT >", "<!-- x", "a\"b", "it's", "back\\slash\\",
    "two\r\nlines", "ls\xE2\x80\xA8ps\xE2\x80\xA9" "end", std::string("nul\0x", 5), "Grüße €",
};

class StatusPage : public PageFixture {
 protected:
  server::ReplyPacket FormRequest(const std::string& cookie, std::vector<std::string> fields = {},
                                  const std::string& method = "GET") {
    return Call(Request(method, "/$/", std::move(fields), cookie));
  }
  // The page after a browser's start, with the window size it reported.
  std::string OpenPage(std::string* cookie_out = nullptr) {
    const std::string cookie = StartBrowserSession(1280, 720);
    if (cookie_out != nullptr) {
      *cookie_out = cookie;
    }
    const server::ReplyPacket page = FormRequest(cookie);
    EXPECT_EQ(page.code, 200) << page.body_text();
    return page.body_text();
  }
  // Serves the main form through OnGetMainForm so that a test can change its settings.
  void CustomMainForm(std::function<void(TSvAppForm&)> set) {
    FormEvents().OnGetMainForm = [set](server::TSvApplication& session, TSvForm*& form) {
      auto made = MainFormClass()(session);
      set(*made);
      form = &FormsOf(session).Adopt(std::move(made));
    };
  }
};

TEST_F(StatusPage, DocumentIsTheExpectedText) {
  std::string cookie;
  const server::ReplyPacket reply = [&] {
    cookie = StartBrowserSession(1280, 720);
    return FormRequest(cookie);
  }();
  EXPECT_EQ(reply.code, 200);
  EXPECT_EQ(reply.content_type, "text/html; charset=UTF-8");
  std::string page = reply.body_text();
  // Every line ends in CR LF.
  EXPECT_EQ(base::replace_all(page, "\r\n", "").find('\n'), std::string::npos);
  const std::string app_id = cookie.substr(0, cookie.find('_'));
  ASSERT_EQ(app_id.size(), 22u);
  page = base::replace_all(page, app_id, "{APPID}");
  page = base::replace_all(page, controller_->mStartUID(), "{STAMP}");
  EXPECT_EQ(page, ReadFixture("status_page.html"));
  // The cookie carries the advanced track identifier of the page.
  EXPECT_EQ(Cookie(reply), app_id + "_2");
}

TEST_F(StatusPage, NamedFilesAreServed) {
  const std::string page = OpenPage();
  const std::regex src("src=\"([^\"]+)\"");
  std::vector<std::string> urls;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), src); it != std::sregex_iterator();
       ++it) {
    urls.push_back((*it)[1]);
  }
  urls.push_back(Between(page, "createSVLocker(\"", "\""));
  ASSERT_EQ(urls.size(), 4u) << page;
  for (const std::string& url : urls) {
    const server::ReplyPacket file = Call(Request("GET", url, {}, ""));
    EXPECT_EQ(file.code, 200) << url;
    const bool script = base::ends_with(url, ".js");
    EXPECT_EQ(file.content_type, server::MimeTypes::GetAsString(script ? ".js" : ".gif")) << url;
  }
}

TEST_F(StatusPage, WindowSizeReachesInitRects) {
  // A session that never reported its window keeps the stored size.
  const std::string bare = Cookie(Call(Request("GET", "/", {}, "")));
  EXPECT_EQ(InitRects(FormRequest(bare).body_text()), "692, 191");

  std::string cookie;
  EXPECT_EQ(InitRects(OpenPage(&cookie)), "1280, 720");
  struct Step {
    std::vector<std::string> fields;
    const char* method;
    const char* rects;
    const char* track_id;
  };
  const Step steps[] = {
      {{"SV_width=1024", "SV_height=768"}, "GET", "1024, 768", "3"},
      // A page of another form was submitted: its fields are all dropped.
      {{"SV_FormName=OtherForm", "SV_width=800", "SV_height=600"}, "POST", "1024, 768", "4"},
      {{"SV_FormName=svform2", "SV_width=800", "SV_height=600"}, "POST", "800, 600", "5"},
      // Only both together resize.
      {{"SV_width=640"}, "GET", "800, 600", "6"},
  };
  for (const Step& step : steps) {
    const server::ReplyPacket reply = FormRequest(cookie, step.fields, step.method);
    cookie = Cookie(reply);
    const std::string page = reply.body_text();
    EXPECT_EQ(InitRects(page), step.rects) << step.fields[0];
    EXPECT_EQ(Between(page, "var GTrackID=", ";"), step.track_id);
  }
  // The page reports a changed window through "/$/resize".
  const server::ReplyPacket resized =
      Call(Request("GET", "/$/resize", {"SV_AjaxID=9", "SV_width=700", "SV_height=400"}, cookie));
  EXPECT_EQ(resized.code, 200);
  EXPECT_EQ(InitRects(FormRequest(cookie).body_text()), "700, 400");
  cookie = Cookie(resized);
  FormRequest(cookie, {"SV_width=800", "SV_height=600"});

  // "/$/call" names its session in the query and renders the active form too.
  const server::ReplyPacket call = Call(Request("GET", "/$/call", {cookie}, ""));
  EXPECT_EQ(InitRects(call.body_text()), "800, 600") << call.body_text();
  EXPECT_EQ(Between(call.body_text(), "var GTrackID=", ";"), "9");
}

// Window sizes come from the client: a value that is not a whole non-negative number is
// ignored, in the form's fields and at "/$/resize" alike.
TEST_F(StatusPage, WindowSizesThatAreNotWholeNumbersAreIgnored) {
  std::string cookie;
  OpenPage(&cookie);
  struct Case {
    std::string width;
    std::string height;
    std::string rects;
  };
  const Case kCases[] = {
      {"640", "300", "640, 300"},     {"12abc", "300", "800, 300"}, {"-5", "300", "800, 300"},
      {"+12", "300", "800, 300"},     {" 12", "300", "800, 300"},   {"0x10", "300", "800, 300"},
      {"3000000000", "300", "800, 300"}, {"", "300", "800, 300"},   {"640", "1e3", "640, 600"},
      {"0", "-0", "0, 600"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.width + "x" + c.height);
    cookie = Cookie(FormRequest(cookie, {"SV_width=800", "SV_height=600"}));
    const server::ReplyPacket reply =
        FormRequest(cookie, {"SV_width=" + c.width, "SV_height=" + c.height});
    cookie = Cookie(reply);
    EXPECT_EQ(InitRects(reply.body_text()), c.rects);
  }
  cookie = Cookie(FormRequest(cookie, {"SV_width=800", "SV_height=600"}));
  const server::ReplyPacket resized =
      Call(Request("GET", "/$/resize", {"SV_AjaxID=9", "SV_width=12abc", "SV_height=300"}, cookie));
  EXPECT_EQ(resized.code, 200);
  EXPECT_EQ(InitRects(FormRequest(Cookie(resized)).body_text()), "800, 600");
}

TEST_F(StatusPage, FormSettingsChangeThePage) {
  struct Case {
    const char* what;
    std::function<void(TSvAppForm&)> set;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"keep-alive pings at a quarter of the session timeout",
       [](TSvAppForm& f) { f.KeepAlive = true; },
       {"InitSVCLObjects();\r\nSV.Session.initKeepAlive(150000);\r\nAttachBeforeUnload();"},
       {}},
      {"a lower-case HTML5 document type",
       [](TSvAppForm& f) { f.SetDocType("<!DOCTYPE html>"); },
       {"<!DOCTYPE html>\r\n<html>"},
       {"cache-control", "MSThemeCompatible"}},
      {"an older document type",
       [](TSvAppForm& f) {
         f.SetDocType("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">");
         f.XPTheme = false;
       },
       {"<meta http-equiv=\"cache-control\" content=\"no-cache\">\r\n<meta "
        "http-equiv=\"pragma\" content=\"no-cache\">\r\n<title>",
        "<meta http-equiv=\"MSThemeCompatible\" Content=\"no\">\r\n\r\n<meta "
        "http-equiv=\"imagetoolbar\" content=\"no\">\r\n<meta http-equiv=\"Expires\" "
        "content=\"-1\">"},
       {}},
      {"title, hidden fields, colors and direction",
       [](TSvAppForm& f) {
         f.Title = "A & B";
         f.HiddenFields = {"Mode=two words"};
         f.LeftToRight = false;
         f.Color = RGBColor(255, 255, 255);
       },
       {"<title>A &amp; B</title>",
        "<input type=\"hidden\" name=\"Mode\" value=\"two&#32;words\" id=\"HIDDEN_Mode\" "
        "size=\"-1\">",
        "<body dir=\"RTL\" style=\"margin: 0;background-color: #FFFFFF;\""},
       {}},
      {"no locks",
       [](TSvAppForm& f) { f.LockUntilLoaded = f.LockOnSubmit = false; },
       {"GActivateLock = false;"},
       {"createSVLocker", "ReleaseLock();\r\n"}},
      {"script and style files",
       [](TSvAppForm& f) {
         f.ContentFiles = {"/files/app.js", "http://cdn.example/x.css"};
         f.JavaScriptOnce = "var once=1;";
       },
       {"<link href=\"http://cdn.example/x.css\" rel=\"stylesheet\" type=\"text/css\"/>\r\n"
        "<script type=\"text/javascript\" src=\"/$/js/SVLib__",
        "<script type=\"text/javascript\" src=\"/files/app.js\"></script>\r\n", "var once=1;"},
       {}},
  };
  for (const Case& c : cases) {
    CustomMainForm(c.set);
    const std::string page = OpenPage();
    for (const std::string& text : c.present) {
      EXPECT_NE(page.find(text), std::string::npos) << c.what << ": " << text << "\n" << page;
    }
    for (const std::string& text : c.absent) {
      EXPECT_EQ(page.find(text), std::string::npos) << c.what << ": " << text << "\n" << page;
    }
  }
}

TEST_F(StatusPage, BackButtonPolicies) {
  struct Case {
    server::BackButtonPolicy mode;
    bool prevent;
    bool intercepted;
    bool forward;
  };
  const Case cases[] = {
      {server::BackButtonPolicy::bmInterceptGlobal, false, true, false},
      {server::BackButtonPolicy::bmInterceptForm, true, true, false},
      {server::BackButtonPolicy::bmInterceptForm, false, false, false},
      {server::BackButtonPolicy::bmEnable, true, false, false},
      {server::BackButtonPolicy::bmDisableCompat, false, false, true},
  };
  for (const Case& c : cases) {
    controller_->BackButtonOptions.Mode = c.mode;
    controller_->BackButtonOptions.ShowMessage = true;
    controller_->BackButtonOptions.WarningMessage = "Stay";
    const bool prevent = c.prevent;
    CustomMainForm([prevent](TSvAppForm& f) { f.PreventBackButton = prevent; });
    const std::string page = OpenPage();
    const std::string stamp = controller_->mStartUID();
    const std::string scripts = "/$/js/SVLib__" + stamp + ".js\"></script>\r\n" +
                                "<script type=\"text/javascript\" src=\"/$/js/SVBackIntercept__" +
                                stamp + ".js\"></script>\r\n<script type=\"text/javascript\" " +
                                "src=\"/$/js/SVBase__";
    EXPECT_EQ(page.find(scripts) != std::string::npos, c.intercepted) << page;
    EXPECT_EQ(
        page.find("SVBackIntercept.Init(false,true, \"Stay\", \"/$/\");") != std::string::npos,
        c.intercepted);
    EXPECT_EQ(page.find("history.go(1);") != std::string::npos, c.forward);
  }
}

TEST_F(StatusPage, TheBackButtonWarningStaysInsideItsScriptString) {
  controller_->BackButtonOptions.Mode = server::BackButtonPolicy::bmInterceptGlobal;
  controller_->BackButtonOptions.ShowMessage = true;
  for (const std::string& text : kHostileTexts) {
    SCOPED_TRACE(text);
    controller_->BackButtonOptions.WarningMessage = text;
    const std::string page = OpenPage();
    EXPECT_EQ(ScriptStringValue(Between(page, "SVBackIntercept.Init(false,true, \"",
                                        "\", \"/$/\");")),
              text);
  }
}

TEST_F(StatusPage, WithoutLoadingAnimationTheLockerGetsNoImage) {
  controller_->Render.ShowLoadingAnimation = false;
  EXPECT_NE(OpenPage().find("createSVLocker(\"\");ActivateLock();"), std::string::npos);
}

TEST_F(StatusPage, FormRequestFailuresAnswerTheErrorPage) {
  struct Case {
    std::function<void()> set;
    const char* https;
    const char* message;
  };
  const Case cases[] = {
      {[] { SetMainFormClass(nullptr); }, "", "Application main form is not defined"},
      {[this] {
         CustomMainForm([](TSvAppForm& f) { f.ConnectionMode = TConnectionMode::cmSecure; });
       },
       "", "Secure mode is required for this form."},
      {[this] {
         CustomMainForm([](TSvAppForm& f) { f.ConnectionMode = TConnectionMode::cmNonSecure; });
       },
       "on", "Non-Secure mode is required for this form."},
      {[this] {
         CustomMainForm([](TSvAppForm& f) { f.ConnectionMode = static_cast<TConnectionMode>(7); });
       },
       "", "Unknown connection mode"},
  };
  for (const Case& c : cases) {
    app::RegisterMainForm();
    FormEvents() = {};
    c.set();
    const std::string cookie = StartBrowserSession();
    server::RequestPacketFields f = Request("GET", "/$/", {}, cookie);
    f.https_header = c.https;
    const server::ReplyPacket reply = Call(f);
    EXPECT_EQ(reply.code, 500) << c.message;
    // The error page writes the message as an HTML literal.
    EXPECT_NE(reply.body_text().find(HTMLLiteral(c.message)), std::string::npos)
        << reply.body_text();
  }
  // The secure form is served over a secure connection.
  CustomMainForm([](TSvAppForm& f) { f.ConnectionMode = TConnectionMode::cmSecure; });
  const std::string cookie = StartBrowserSession();
  server::RequestPacketFields f = Request("GET", "/$/", {}, cookie);
  f.https_header = "on";
  EXPECT_EQ(Call(f).code, 200);
}

TEST_F(StatusPage, CheckedFormIdsMustComeBack) {
  controller_->SecurityOptions().CheckFormId = true;
  std::string cookie;
  const std::string page = OpenPage(&cookie);
  const std::string id = Between(page, "name=\"SV_FormID_\" value=\"", "\"");
  ASSERT_EQ(id.size(), 32u) << page;
  const server::ReplyPacket good = FormRequest(cookie, {"SV_FormID_=" + id}, "POST");
  EXPECT_EQ(good.code, 200);
  const server::ReplyPacket bad = FormRequest(Cookie(good), {"SV_FormID_=x" + id}, "POST");
  EXPECT_EQ(bad.code, 500);
  EXPECT_NE(bad.body_text().find(HTMLLiteral("Invalid form Id")), std::string::npos);
}

TEST_F(StatusPage, SessionWithoutFormsIsTerminated) {
  std::string cookie;
  OpenPage(&cookie);
  EXPECT_TRUE(WithSession(cookie, [](server::TSvApplication& s) {
    TSvSessionFormState& forms = FormsOf(s);
    ASSERT_NE(forms.GetActiveForm(), nullptr);
    forms.RemoveForm(*forms.GetActiveForm());
    std::vector<char> buffer(server::kExchangeBufferSize);
    server::THttpReply reply(buffer.data(), server::kExchangeBufferSize);
    base::NameValueList params;
    forms.ExecuteActiveForm(params, reply);
    EXPECT_TRUE(s.mTerminated);
  }));
}

TEST_F(StatusPage, ReleasedFormsAreFreedAfterExecution) {
  std::string cookie;
  OpenPage(&cookie);
  EXPECT_TRUE(WithSession(cookie, [](server::TSvApplication& s) {
    TSvSessionFormState& forms = FormsOf(s);
    TSvForm* main = forms.GetActiveForm();
    TSvForm& second = forms.Adopt(std::make_unique<TSvForm>(&s, "Second"));
    second.Show();
    EXPECT_EQ(forms.GetActiveForm(), &second);
    EXPECT_EQ(second.Width, 1280);  // the known window size
    forms.ReleaseForm(second);
    forms.ReleaseForm(second);
    std::vector<char> buffer(server::kExchangeBufferSize);
    server::THttpReply reply(buffer.data(), server::kExchangeBufferSize);
    base::NameValueList params;
    forms.ExecuteActiveForm(params, reply);
    EXPECT_EQ(forms.GetActiveForm(), main);
    EXPECT_FALSE(s.mTerminated);
  }));
}

TEST(PageContext, Operations) {
  TSvPageContext40 ctx(nullptr, nullptr, "");
  EXPECT_TRUE(ctx.IsHTML5());
  ctx.AddToInitProc("");
  ctx.AddToInitProc("a();");
  EXPECT_EQ(ctx.FInitProc, "a();\r\n");
  ctx.AddToJavaScriptOnce("");
  ctx.AddToJavaScriptOnce("\r\n");
  ctx.AddToJavaScriptOnce("x;\r\n");
  ctx.AddToJavaScriptOnce("y;");
  EXPECT_EQ(ctx.FJavaScript, "\r\n\r\n\r\nx;\r\ny;\r\n");
  ctx.AddScriptFile("/js/a.js");
  ctx.AddScriptFile("/js/a.js");
  EXPECT_EQ(ctx.FScriptFiles.size(), 1u);
  // Outside a server there is no start stamp.
  EXPECT_EQ(ctx.ScriptFileTag("/js/SVBase.js"),
            "<script type=\"text/javascript\" src=\"/$/js/SVBase__.js\"></script>\r\n");
  EXPECT_EQ(ctx.ExternalFileURL("https://x/y.js"), "https://x/y.js");
  EXPECT_EQ(ctx.ExternalFileURL("css/site.css"), "/css/site.css");
  EXPECT_EQ(ctx.OnReadyCode(), "");
  ctx.AddToOnReady("go();");
  EXPECT_EQ(ctx.OnReadyCode(), "$(document).ready(function(){go();});");
  // A validation message stays inside its string, whatever its text.
  for (const std::string& text : kHostileTexts) {
    SCOPED_TRACE(text);
    ctx.FJavaScript.clear();
    ctx.AddValidation("a < 1", text);
    ctx.Finalize();
    ctx.FValidation.clear();
    ctx.FValidationMsg.clear();
    EXPECT_EQ(ScriptStringValue(Between(ctx.FJavaScript, "window.alert(\"", "\");\r\n")), text);
  }
  ctx.FJavaScript.clear();
  ctx.AddValidation("a < 1", "Too small");
  ctx.Finalize();
  EXPECT_EQ(ctx.FJavaScript,
            "function Validate() {\r\n  if(a < 1) {\r\n    ReleaseLock();\r\n    "
            "window.alert(\"Too small\");\r\n    return false;\r\n  }\r\n  return true;\r\n}\r\n");
}

TEST(Form, DocTypeMustBeADocumentTypeLine) {
  TSvForm form(nullptr, "F");
  const std::pair<const char*, const char*> cases[] = {
      {"<html>", "Invalid value for DocType property: DocType must start with \"<!DOCTYPE\""},
      {"<!DOCTYPE html", "Invalid value for DocType property: DocType must end with \">\""},
      {"<!doctype html>", nullptr},
      {"", nullptr},
  };
  for (const auto& [doc, message] : cases) {
    if (message == nullptr) {
      EXPECT_NO_THROW(form.SetDocType(doc));
      EXPECT_EQ(form.DocType(), doc);
    } else {
      try {
        form.SetDocType(doc);
        ADD_FAILURE() << doc;
      } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), message);
      }
    }
  }
}

TEST(Form, LayoutsThatCannotWriteSaySo) {
  TSvForm form(nullptr, "F");
  TSvPageContext40 ctx(nullptr, &form, "");
  TSvLayoutMgr plain;
  std::string out;
  try {
    plain.Process(form, ctx, out);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "TSvLayoutMgr: Method Process is not implemented in this class");
  }
}

}  // namespace
}  // namespace appsrv::render
