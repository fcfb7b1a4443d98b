// The pipeline's door to a session's forms: page rendering implements this interface and
// registers it at start-up, so that the request pipeline never depends on it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "base/name_value_list.h"
#include "base/parse_int.h"

namespace appsrv::server {

class THttpRequest;
class THttpReply;
class TSvApplication;

// A window size the browser reported (SV_width, SV_height): a whole non-negative number that
// fits an int, else nullopt. The text comes from the client, so "12abc", "-5" and " 12" are no
// size at all, not read in part.
inline std::optional<int> WindowSize(std::string_view text) {
  const std::optional<uint32_t> value = base::parse_int<uint32_t>(text);
  if (!value.has_value() || *value > static_cast<uint32_t>(std::numeric_limits<int>::max())) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

// What a form action works on; valid for the duration of one call. The session is locked.
struct FormRequest {
  TSvApplication& session;
  THttpRequest& request;
  THttpReply& reply;
  base::NameValueList& params;
};

// Called on worker threads, each call for a session that the calling request holds locked.
class SessionForms {
 public:
  virtual ~SessionForms() = default;

  // "/$/" and "/$/call": processes the active form's submission and renders it, creating the
  // main form first when there is no active form.
  virtual void Render(FormRequest& r) = 0;
  // "/$/callback": runs the active form's callback and streams its callback response.
  virtual void Callback(FormRequest& r) = 0;
  // "/$/resize": the active form takes the new window size.
  virtual void Resize(FormRequest& r, int width, int height) = 0;
  // "/$/upload": the active form executes the submitted data; the error it reports, if any.
  virtual std::optional<std::string> Upload(FormRequest& r) = 0;
  // Whether the active form asks for an authentication challenge; nullopt without an active
  // form (the content handler is asked then).
  virtual std::optional<bool> RequestAuth(TSvApplication& session, THttpRequest& request,
                                          std::string& group) = 0;
  // Records the browser window size a session reported on its start.
  virtual void SetFormSize(TSvApplication& session, int width, int height) = 0;
};

// Installs the implementation (null removes it); the caller keeps it alive while requests run.
void RegisterSessionForms(SessionForms* forms);
SessionForms* RegisteredSessionForms();

}  // namespace appsrv::server
