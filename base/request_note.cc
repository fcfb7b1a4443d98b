#include "base/request_note.h"

#include <algorithm>
#include <cstring>

namespace appsrv::base {

void RequestNote::set_session_id(std::string_view id) noexcept {
  session_id_length_ = std::min(id.size(), kMaxSessionId);
  std::memcpy(session_id_, id.data(), session_id_length_);
}

RequestNote& this_thread_request_note() noexcept {
  thread_local RequestNote note;
  return note;
}

}  // namespace appsrv::base
