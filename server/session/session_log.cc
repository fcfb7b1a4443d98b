#include "server/session/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "base/boundary_note.h"
#include "base/files.h"
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
      // The connection's peer, not the client address a forwarding header may claim.
      e.WriteText(request->request != nullptr ? request->request->mRemoteAddr : request->client_ip);
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
    std::scoped_lock lock(g_log_mu);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size == 0) {
      TStreamHelper header(std::make_unique<TSvMemoryStream>());
      header.WriteInteger(kLogSignature);
      header.WriteInteger(kLogVersion);
      header.WriteBoolean(controller.AllowMultipleSessionsPerUser());
      header.WriteInteger(controller.SessionTimeout());
      std::vector<char> bytes(static_cast<size_t>(header.stream().GetSize()));
      header.CopyTo(bytes);
      base::write_all(fd, std::string_view(bytes.data(), bytes.size()));
    }
    base::write_all(fd, std::string_view(record.data(), record.size()));
    ::close(fd);
  } catch (...) {  // boundary: the event log never fails a request
    static base::LogThrottle notes;
    base::note_caught("session event log", notes);
  }
}

}  // namespace appsrv::server
