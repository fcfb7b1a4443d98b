#include "server/session_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "base/files.h"
#include "server/clock.h"
#include "server/server_controller.h"

namespace appsrv::server {

namespace {

constexpr int32_t kLogSignature = 20040827;
constexpr int32_t kLogVersion = 2;

std::mutex g_log_mu;  // serialises appends to the session event log

// Little-endian primitive encodings, as the exchange packets use them.
class Encoder {
 public:
  void byte(uint8_t v) { out_ += static_cast<char>(v); }
  void boolean(bool v) { byte(v ? 1 : 0); }
  void integer(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
      byte(static_cast<uint8_t>(u >> (8 * i)));
    }
  }
  void real(double v) {
    uint64_t u = 0;
    std::memcpy(&u, &v, sizeof u);
    for (int i = 0; i < 8; ++i) {
      byte(static_cast<uint8_t>(u >> (8 * i)));
    }
  }
  void text(std::string_view s) {
    integer(static_cast<int32_t>(s.size()));
    out_ += s;
  }
  void strings(const std::vector<std::string>& lines) {
    integer(static_cast<int32_t>(lines.size()));
    for (const std::string& l : lines) {
      text(l);
    }
  }
  const std::string& bytes() const { return out_; }

 private:
  std::string out_;
};

bool write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string SessionLogPath(const TSvServerControllerBase& controller) {
  const ControllerEnvironment& env = controller.environment();
  return env.application_folder + base::change_file_ext(env.application_file, "") + "_session.log";
}

void WriteSessionEvent(const TSvServerControllerBase& controller, const TSvApplication& session,
                       TSessionEvent event) noexcept {
  try {
    Encoder e;
    e.byte(static_cast<uint8_t>(event));
    e.real(controller.clock().now());
    e.text(session.FAppID);
    if (event == TSessionEvent::seCreate && session.mBrowser) {
      e.text(session.mBrowser->mBrowserName);
      e.text(session.mBrowser->mUserAgent);
    }
    const SessionRequestInfo* request = session.current_request();
    if (request != nullptr) {
      e.text(request->client_ip);
      e.text(request->path);
      e.strings(request->content_fields != nullptr ? request->content_fields->lines()
                                                   : std::vector<std::string>{});
    } else {
      e.text("");
      e.text("");
      e.integer(0);
    }

    const std::string path = SessionLogPath(controller);
    std::scoped_lock lock(g_log_mu);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
      return;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size == 0) {
      Encoder header;
      header.integer(kLogSignature);
      header.integer(kLogVersion);
      header.boolean(controller.AllowMultipleSessionsPerUser());
      header.integer(controller.SessionTimeout());
      write_all(fd, header.bytes());
    }
    write_all(fd, e.bytes());
    ::close(fd);
  } catch (...) {  // boundary: the event log never fails a request
  }
}

}  // namespace appsrv::server
