#include "server/pipeline/pipeline_pages.h"

#include "base/html_encode.h"
#include "server/session/session.h"

namespace appsrv::server {

namespace {

// The start pages share their head up to the opening of their script...
constexpr std::string_view kPageHead =
    "<!DOCTYPE html>\r\n"
    "<html>\r\n"
    "<head>\r\n"
    "<meta charset=\"utf-8\">\r\n"
    "<title></title>\r\n"
    "<script>\r\n";

// ...and their last lines.
constexpr std::string_view kPageFoot =
    "</form>\r\n"
    "</body>\r\n"
    "</html>";

}  // namespace

std::string start_page(std::string_view url, const std::optional<StartPageSession>& session) {
  std::string session_query;
  if (session) {
    session_query = "&SV_SessionID_=" + base::js_string_body(session->app_id) +
                    "&SV_TrackID_=" + TrackIDToText(session->track_id);
  }
  std::string page(kPageHead);
  page +=
      "function SVStart(url) {\r\n"
      "  var d = document.documentElement, b = document.body;\r\n"
      "  var w = window.innerWidth || (d && d.clientWidth) || (b && b.clientWidth) || 0;\r\n"
      "  var h = window.innerHeight || (d && d.clientHeight) || (b && b.clientHeight) || 0;\r\n"
      "  var q = \"SV_AjaxID=\" + new Date().getTime() + \"&SV_width=\" + w + "
      "\"&SV_height=\" + h + \"";
  page += session_query;
  page +=
      "\";\r\n"
      "  var x = new XMLHttpRequest();\r\n"
      "  x.open(\"GET\", url + (url.indexOf(\"?\") < 0 ? \"?\" : \"&\") + q, false);\r\n"
      "  x.send(null);\r\n"
      "  var t = x.responseText;\r\n"
      "  if (x.status == 200 && t.charAt(0) != \"<\") {\r\n"
      "    window.location.replace(t);\r\n"
      "  } else {\r\n"
      "    document.open();\r\n"
      "    document.write(t);\r\n"
      "    document.close();\r\n"
      "  }\r\n"
      "}\r\n"
      "</script>\r\n"
      "</head>\r\n"
      "<body>\r\n"
      "<script>SVStart(\"";
  page += base::js_string_body(url);
  page += "\");</script>\r\n";
  page += kPageFoot;
  return page;
}

std::string start_check_page(std::string_view action_url, std::string_view app_id,
                             uint32_t track_id) {
  std::string page(kPageHead);
  page +=
      "function SVStartCheck() {\r\n"
      "  var d = document.documentElement, b = document.body, f = document.forms[0];\r\n"
      "  f.SV_width.value = window.innerWidth || (d && d.clientWidth) || "
      "(b && b.clientWidth) || 0;\r\n"
      "  f.SV_height.value = window.innerHeight || (d && d.clientHeight) || "
      "(b && b.clientHeight) || 0;\r\n"
      "  f.submit();\r\n"
      "}\r\n"
      "</script>\r\n"
      "</head>\r\n"
      "<body onload=\"SVStartCheck()\">\r\n"
      "<form method=\"post\" action=\"";
  page += base::html_encode(action_url);
  page +=
      "\">\r\n"
      "<input type=\"hidden\" name=\"SV_width\" value=\"-1\">\r\n"
      "<input type=\"hidden\" name=\"SV_height\" value=\"-1\">\r\n"
      "<input type=\"hidden\" name=\"SV_SessionID_\" value=\"";
  page += base::html_encode(app_id);
  page +=
      "\">\r\n"
      "<input type=\"hidden\" name=\"SV_TrackID_\" value=\"";
  page += TrackIDToText(track_id);
  page += "\">\r\n";
  page += kPageFoot;
  return page;
}

std::string status_xml(int n) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><status>" +
         std::to_string(n) + "</status>";
}

std::string upload_error_json(std::string_view message) {
  std::string out = "{\"error\":\"";
  for (const char c : message) {
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out += '\\';
        out += c;
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  out += "\"}";
  return out;
}

}  // namespace appsrv::server
