#include "server/session/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "base/exception.h"
#include "base/boundary_note.h"
#include "base/files.h"
#include "base/unique_fd.h"
#include "server/exchange/memory_stream.h"
#include "server/exchange/stream_helper.h"
#include "server/http/http_request.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

namespace {

constexpr int32_t kLogSignature = 20040827;
constexpr int32_t kLogVersion = 2;

std::mutex g_log_mu;  // serialises appends to the session event log

// The event log file at `path`, with its header when new, then `record`: 0 or the errno of the
// step that failed. REQUIRES: g_log_mu held.
int append_event(const TSvServerControllerBase& controller, const std::string& path,
                 std::string_view record) {
  const base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    return errno;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && st.st_size == 0) {
    TStreamHelper header(std::make_unique<TSvMemoryStream>());
    header.WriteInteger(kLogSignature);
    header.WriteInteger(kLogVersion);
    header.WriteBoolean(controller.AllowMultipleSessionsPerUser());
    header.WriteInteger(controller.SessionTimeout());
    std::vector<char> bytes(static_cast<size_t>(header.stream().GetSize()));
    header.CopyTo(bytes);
    if (const int err = base::write_all(fd.get(), std::string_view(bytes.data(), bytes.size()));
        err != 0) {
      return err;
    }
  }
  return base::write_all(fd.get(), record);
}

}  // namespace

std::string SessionLogPath(const TSvServerControllerBase& controller) {
  const ControllerEnvironment& env = controller.environment();
  return env.application_folder + base::change_file_ext(env.application_file, "") + "_session.log";
}

void WriteSessionEvent(const TSvServerControllerBase& controller, const TSvApplication& session,
                       TSessionEvent event) noexcept {
  try {
    TStreamHelper e(std::make_unique<TSvMemoryStream>());
    e.WriteByte(static_cast<uint8_t>(event));
    e.WriteDouble(controller.clock().now());
    e.WriteText(session.FAppID);
    if (event == TSessionEvent::seCreate && session.mBrowser) {
      e.WriteText(session.mBrowser->mBrowserName);
      e.WriteText(session.mBrowser->mUserAgent);
    }
    const SessionRequestInfo* request = session.current_request();
    if (request != nullptr) {
      // The peer, or the client a trusted proxy names; never what a client claims for itself.
      e.WriteText(request->client_ip);
      e.WriteText(request->path);
      e.WriteStrings(request->content_fields != nullptr ? request->content_fields->lines()
                                                        : std::vector<std::string>{});
    } else {
      e.WriteText("");
      e.WriteText("");
      e.WriteInteger(0);
    }
    std::vector<char> record(static_cast<size_t>(e.stream().GetSize()));
    e.CopyTo(record);

    const std::string path = SessionLogPath(controller);
    int err = 0;
    {
      std::scoped_lock lock(g_log_mu);
      err = append_event(controller, path, std::string_view(record.data(), record.size()));
    }
    if (err != 0) {
      controller.NoteSessionLogFailure("Cannot write the session event log \"" + path +
                                       "\": " + base::errno_text(err));
    }
  } catch (...) {  // boundary: the event log never fails a request
    static base::LogThrottle notes;
    base::note_caught("session event log", notes);
  }
}

}  // namespace appsrv::server
