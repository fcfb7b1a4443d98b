// What the request pipeline learns about a request that the connection's own record of it
// (the access log line) needs. The request hook runs on the connection's thread, so a note per
// thread carries it across without widening the exchange packet.
#pragma once

#include <cstddef>
#include <string_view>

namespace appsrv::base {

class RequestNote {
 public:
  // Longer identifiers keep their first kMaxSessionId bytes.
  static constexpr size_t kMaxSessionId = 64;

  void clear() noexcept { session_id_length_ = 0; }
  // The session the request belongs to (or names); "" when none.
  void set_session_id(std::string_view id) noexcept;
  std::string_view session_id() const noexcept { return {session_id_, session_id_length_}; }

 private:
  char session_id_[kMaxSessionId] = {};
  size_t session_id_length_ = 0;
};

// The calling thread's note. The transport clears it before a request and reads it after the
// reply; the pipeline writes it in between.
RequestNote& this_thread_request_note() noexcept;

}  // namespace appsrv::base
