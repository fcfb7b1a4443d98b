#include "server/pipeline/exception_renderer.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/files.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"
#include "server/http/http_request.h"
#include "server/pipeline/internal_files.h"
#include "server/session/exception_logger.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"

namespace appsrv::server {

namespace {

enum ColorSlot { kFrom, kTo, kHeaderText, kBodyBack, kBodyText, kColorCount };

std::array<std::atomic<TColor>, kColorCount> g_colors = {0x094B22, 0x80DBA9, 0xFFFFFF, 0xF9F9F9,
                                                         0x000000};

std::mutex g_renderer_mu;
std::shared_ptr<const TSvExceptionRenderer> g_renderer;  // guarded by g_renderer_mu; null: default

struct PageChoice {
  const char* kind;
  std::string specific;
  std::string app_id;
  std::string run_params;  // raw, "?a=1&b=2"
  bool details = false;
  bool security = false;
};

PageChoice choose_page(const std::exception& e, const ErrorPageContext& c) {
  PageChoice p;
  if (dynamic_cast<const ESvSecurityException*>(&e) != nullptr) {
    p.kind = "SECURITYCHECK";
    p.specific = "Security check failed. Please restart the application.";
    p.details = c.controller->SecurityOptions().ShowSecurityErrorDetails;
    p.security = true;
  } else if (const auto* expired = dynamic_cast<const EExpiredSession*>(&e)) {
    const int32_t timeout = c.controller->SessionTimeout();
    p.kind = "SESSIONTIMEOUT";
    p.specific =
        "Your session has expired. You will have to restart the application. In order to keep "
        "sessions from expiring you may set the session timeout parameter to a higher value. "
        "The current session timeout value is " +
        std::to_string(timeout) + " minute" + (timeout == 1 ? "" : "s") + ".";
    p.app_id = expired->mAppID;
    // The entry stays in the expired list, for a restart that takes the parameters over.
    p.run_params =
        c.controller->Sessions().GetExpiredParams(expired->mAppID, /*ARemove=*/false).value_or("");
  } else if (const auto* invalid = dynamic_cast<const EInvalidSession*>(&e)) {
    p.kind = "SESSIONINVALID";
    p.specific = "Session ID is invalid.";
    p.app_id = invalid->mAppID;
  } else {
    p.kind = "ERROR";
    p.specific =
        "Depending on the error condition, it might be possible to restart the application.";
    if (c.session != nullptr) {
      p.run_params = c.session->FRunParams.Raw();
    }
    p.details = true;
  }
  return p;
}

std::string load_template(const TSvServerControllerBase& controller, const std::string& kind) {
  const std::string file =
      base::include_trailing_slash(controller.TemplateDir()) + "Sv" + kind + ".html";
  if (base::file_exists(file)) {
    return base::read_file(file);
  }
  return TSvServerInternalFiles::Instance().ResourceAsString("SV_GFX_" + kind);
}

std::string detail_text(const std::exception& e, const ErrorPageContext& c) {
  if (c.logger != nullptr) {
    return c.logger->GetExceptionDetail(e, c.local_details);
  }
  TSvExceptionLogger bare;
  return bare.GetExceptionDetail(e, c.local_details);
}

std::string render_page(const std::exception& e, const ErrorPageContext& c) {
  const PageChoice p = choose_page(e, c);
  std::string page = load_template(*c.controller, p.kind);
  const std::string content = p.security && !p.details
                                  ? "[Error details are disabled in server configuration]"
                                  : html_escape(e.what());
  const std::string run_params = p.run_params.empty()
                                     ? std::string()
                                     : std::string("/").append(encode_start_params(p.run_params));
  const std::string details_title = p.details ? "Error details:" : "";
  const std::string details_content = p.details ? html_escape(detail_text(e, c)) : "";
  // URLBase already ends in "/" when set; a second one would make the restart link
  // "/app//$/start", which no route answers.
  std::string app_address = c.controller->URLBase() + c.request->mScriptName;
  if (app_address.empty() || app_address.back() != '/') {
    app_address += '/';
  }
  // Every value that comes from the request is escaped, so none can carry a placeholder or
  // markup into the page.
  const std::pair<const char*, std::string> values[] = {
      {"{%APPID%}", html_escape(p.app_id)},
      {"{%RUNPARAMS%}", run_params},
      {"{%CONTENT%}", content},
      {"{%APPADDRESS%}", app_address},
      {"{%APPNAME%}", c.controller->AppName()},
      {"{%EXCEPTIONSPECIFIC%}", html_escape(p.specific)},
      {"{%FROMCOLOR%}", color_text(g_colors[kFrom])},
      {"{%TOCOLOR%}", color_text(g_colors[kTo])},
      {"{%HEADERTEXTCOLOR%}", color_text(g_colors[kHeaderText])},
      {"{%BODYBACKCOLOR%}", color_text(g_colors[kBodyBack])},
      {"{%BODYTEXTCOLOR%}", color_text(g_colors[kBodyText])},
      {"{%ERRORDETAILS_TITLE%}", details_title},
      {"{%ERRORDETAILS_CONTENT%}", details_content},
  };
  for (const auto& [placeholder, value] : values) {
    page = base::replace_all(page, placeholder, value);
  }
  std::string result;
  result.reserve(page.size());
  for (const char ch : page) {
    if (ch != '\r' && ch != '\n') {
      result += ch;
    }
  }
  return result;
}

}  // namespace

void TSvExceptionRenderer::SetColors(TColor from, TColor to, TColor body_text,
                                     TColor body_background, TColor header_text) {
  g_colors[kFrom] = from;
  g_colors[kTo] = to;
  g_colors[kBodyText] = body_text;
  g_colors[kBodyBack] = body_background;
  g_colors[kHeaderText] = header_text;
}

std::string TSvExceptionRenderer::RenderHTML(const std::exception& AException,
                                             const ErrorPageContext& context) const {
  try {
    if (context.controller == nullptr || context.request == nullptr) {
      return html_escape(AException.what());
    }
    return render_page(AException, context);
  } catch (const std::exception&) {
    try {
      return html_escape(AException.what());
    } catch (const std::exception&) {
      return {};
    }
  }
}

void SetExceptionRendererClass(std::unique_ptr<TSvExceptionRenderer> renderer) {
  std::scoped_lock lock(g_renderer_mu);
  g_renderer = std::move(renderer);
}

std::string RenderErrorPage(const std::exception& AException, const THttpRequest* ARequest,
                            TSvExceptionLogger* logger, bool local_details) {
  std::shared_ptr<const TSvExceptionRenderer> renderer;
  {
    std::scoped_lock lock(g_renderer_mu);
    renderer = g_renderer;
  }
  ErrorPageContext context;
  context.controller = ServerController();
  context.request = ARequest;
  context.session = CurrentSession();
  context.logger = logger;
  context.local_details = local_details;
  if (renderer) {
    return renderer->RenderHTML(AException, context);
  }
  return TSvExceptionRenderer().RenderHTML(AException, context);
}

std::string html_escape(std::string_view text) {
  const std::u16string wide = base::utf8_to_utf16(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t c = wide[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ',' ||
        c == '-' || c == '.' || c == '_') {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "<br>";
    } else if (c == '\r') {
      continue;
    } else {
      uint32_t code = c;
      // A surrogate pair is one character: its halves as two references would each show as
      // a replacement character.
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
          wide[i + 1] <= 0xDFFF) {
        code = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
        ++i;
      }
      out += "&#" + std::to_string(code) + ";";
    }
  }
  return out;
}

std::string color_text(TColor color) {
  if (color == -1) {
    return "transparent";
  }
  if (color == kColorNone) {
    return {};
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X", color & 0xFF, (color >> 8) & 0xFF,
                (color >> 16) & 0xFF);
  return buf;
}

std::string encode_start_params(std::string_view text) {
  constexpr std::string_view kReserved = "\"#%*+,/;<>[\\]^`{|}";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 33 || b >= 127 || kReserved.find(ch) != std::string_view::npos) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", b);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace appsrv::server
