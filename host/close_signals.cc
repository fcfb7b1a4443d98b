#include "host/close_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/async_line_log.h"
#include "base/exception.h"

namespace appsrv::host {
namespace {

// Read by the handler, which may only make async-signal-safe calls.
std::atomic<int> g_signal_wake_fd{-1};
std::atomic<char> g_signal_message{0};
// The request itself. The byte in the wake pipe is only the wake-up: the pipe also carries the
// server's events, and when they have filled it the byte is dropped, which must not lose the
// request.
std::atomic<bool> g_close_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void on_close_signal(int) {
  const int saved = errno;
  g_close_requested.store(true);
  const int fd = g_signal_wake_fd.load();
  const char message = g_signal_message.load();
  if (fd >= 0) {
    (void)!::write(fd, &message, 1);
  }
  errno = saved;
}

extern "C" void on_reopen_signal(int) { base::request_log_reopen(); }

struct sigaction g_old_int;
struct sigaction g_old_term;
struct sigaction g_old_hup;

}  // namespace

WakePipe::WakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    base::throw_errno("pipe2");
  }
  read_fd_.reset(fds[0]);
  write_fd_.reset(fds[1]);
}

void WakePipe::Post(char message) const { (void)!::write(write_fd_.get(), &message, 1); }

CloseSignals::CloseSignals(int wake_fd, char message) {
  g_close_requested.store(false);
  g_signal_message.store(message);
  g_signal_wake_fd.store(wake_fd);
  struct sigaction sa {};
  sa.sa_handler = on_close_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, &g_old_int);
  ::sigaction(SIGTERM, &sa, &g_old_term);
  struct sigaction hup {};
  hup.sa_handler = on_reopen_signal;
  sigemptyset(&hup.sa_mask);
  hup.sa_flags = SA_RESTART;
  ::sigaction(SIGHUP, &hup, &g_old_hup);
  ::signal(SIGPIPE, SIG_IGN);
}

bool CloseSignals::Requested() const { return g_close_requested.load(); }

CloseSignals::~CloseSignals() {
  ::sigaction(SIGINT, &g_old_int, nullptr);
  ::sigaction(SIGTERM, &g_old_term, nullptr);
  ::sigaction(SIGHUP, &g_old_hup, nullptr);
  g_signal_wake_fd.store(-1);
}

}  // namespace appsrv::host
