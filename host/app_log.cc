#include "host/app_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace appsrv::host {
namespace {

// Every append of the process, from any thread and to any log file, takes this lock for the
// whole open-write-close, so lines never interleave.
std::mutex& log_mutex() {
  static std::mutex mu;
  return mu;
}

// The console that shows the log while it is open; empty otherwise.
struct Echo {
  std::mutex mu;  // held while the echo is called, so that clearing it waits for the call
  std::function<void(std::string_view)> line;  // guarded by mu
};

Echo& echo() {
  static Echo e;
  return e;
}

// Shows `text` on the console; false when none is open.
bool echo_line(std::string_view text) {
  Echo& e = echo();
  std::scoped_lock lock(e.mu);
  if (!e.line) {
    return false;
  }
  e.line(text);
  return true;
}

}  // namespace

std::string application_log_path(std::string_view extension) {
  return base::executable_folder() +
         base::change_file_ext(base::executable_file_name(), std::string(".").append(extension));
}

std::string application_log_line(base::DateTime when, std::string_view text) {
  const std::u16string line =
      base::utf8_to_utf16(base::iso_date_time_text(when) + " " + std::string(text) + "\r\n");
  std::string bytes;
  bytes.reserve(line.size() * 2);
  for (const char16_t unit : line) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

void append_log_line(const std::string& path, std::string_view text) {
  const std::string bytes = application_log_line(base::now(), text);
  std::scoped_lock lock(log_mutex());
  const base::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  const int fd = file.get();
  if (fd < 0) {
    throw base::Exception("Cannot open \"" + path + "\": " + base::errno_text(errno));
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      const int err = errno;
      throw base::Exception("Cannot write \"" + path + "\": " + base::errno_text(err));
    }
    done += static_cast<size_t>(n);
  }
}

void AppendApplicationLog(std::string_view text, std::string_view extension) {
  // Shown first: a line the file cannot take still reaches the console.
  echo_line(text);
  append_log_line(application_log_path(extension), text);
}

void SetConsoleEcho(std::function<void(std::string_view)> line) {
  Echo& e = echo();
  std::scoped_lock lock(e.mu);
  e.line = std::move(line);
}

void OperatorLine(std::string_view text) {
  if (!echo_line(text)) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
  }
}

}  // namespace appsrv::host
