// The small pages and bodies the pipeline answers with itself: session start, StartCheck, 404,
// status and keep-alive XML, the authentication failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace appsrv::server {

inline constexpr std::string_view kNotFoundBody = "<html><body>404 - Not Found</body></html>";
inline constexpr std::string_view kAuthFailedBody =
    "<html><body><b>Authentication Failed.</b></body></html>";
inline constexpr std::string_view kBlankPage =
    "<html><head><title></title></head><body></body></html>";
inline constexpr std::string_view kKeepAliveXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><response>OK</response>";
inline constexpr std::string_view kUploadSuccessJson = "{\"success\":true}";

// The session a start page belongs to.
struct StartPageSession {
  std::string app_id;
  uint32_t track_id = 1;
};

// A page that measures the browser window and requests `url` with a synchronous GET whose
// query carries SV_AjaxID, SV_width and SV_height (and the session's SV_SessionID_ and
// SV_TrackID_); an answer of status 200 that does not start with "<" is a URL to go to,
// anything else replaces the document.
std::string start_page(std::string_view url, const std::optional<StartPageSession>& session);

// A page that posts the window size with the session's identifiers to `action_url` on load.
std::string start_check_page(std::string_view action_url, std::string_view app_id,
                             uint32_t track_id);

// The "/$/QueryStatus" answer for status `n`.
std::string status_xml(int n);

// {"error":"<message>"} with the message escaped for JSON.
std::string upload_error_json(std::string_view message);

}  // namespace appsrv::server
