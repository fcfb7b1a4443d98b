// The HTML error page that replaces a failed request's reply: page kind by exception class,
// template from TemplateDir or the built-in files, placeholders, colours.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "base/color.h"

namespace appsrv::server {

class THttpRequest;
class TSvApplication;
class TSvExceptionLogger;
class TSvServerControllerBase;

using base::TColor;
constexpr TColor kColorNone = base::clNone;

// What a page needs besides the exception. Pointers are not owned.
struct ErrorPageContext {
  TSvServerControllerBase* controller = nullptr;  // null: the page is just the message
  const THttpRequest* request = nullptr;          // null: the page is just the message
  const TSvApplication* session = nullptr;        // the thread's current session
  TSvExceptionLogger* logger = nullptr;  // writes the details; null: a bare logger of our own
  // The connection's peer is the loopback address: the details then include the application
  // and framework sections. The Host header must not decide this.
  bool local_details = false;
};

// Class-level colours, written at start-up; RenderHTML is reentrant. A subclass replaces the
// pages through SetExceptionRendererClass.
class TSvExceptionRenderer {
 public:
  virtual ~TSvExceptionRenderer() = default;

  static void SetColors(TColor from, TColor to, TColor body_text, TColor body_background,
                        TColor header_text);
  // The error page; never throws (a failure gives the HTML-escaped message alone).
  virtual std::string RenderHTML(const std::exception& AException,
                                 const ErrorPageContext& context) const;
};

// Installs the renderer in use; null restores TSvExceptionRenderer. Called at start-up.
void SetExceptionRendererClass(std::unique_ptr<TSvExceptionRenderer> renderer);
// Renders with the renderer in use, for the process-wide controller and the thread's current
// session.
std::string RenderErrorPage(const std::exception& AException, const THttpRequest* ARequest,
                            TSvExceptionLogger* logger, bool local_details);

// Keeps A-Z, a-z, 0-9, ",", "-", "." and "_"; LF becomes "<br>", CR is dropped, every other
// character becomes "&#" + its code point + ";".
std::string html_escape(std::string_view text);
// "#RRGGBB", "transparent" for -1, "" for kColorNone.
std::string color_text(TColor color);
// Percent-encodes what may not travel raw in a start URL: bytes below 33, DEL and above, and
// the characters "#%*+,/;<>[\]^`{|} (each byte of the UTF-8 form as "%XX").
std::string encode_start_params(std::string_view text);

}  // namespace appsrv::server
