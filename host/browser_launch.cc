#include "host/browser_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "base/unique_fd.h"

namespace appsrv::host {

std::string FindOnPath(const std::vector<std::string>& names) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) {
    return {};
  }
  const std::vector<std::string> folders = base::split(path, ':');
  for (const std::string& name : names) {
    for (const std::string& folder : folders) {
      const std::string candidate =
          base::include_trailing_slash(folder.empty() ? "." : folder) + name;
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
  }
  return {};
}

int SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) {
    return ENOENT;
  }
  // Everything the children need is prepared before fork: between fork and exec only
  // async-signal-safe calls are allowed in a threaded process.
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return errno;
  }
  base::UniqueFd report_read(report[0]);
  base::UniqueFd report_write(report[1]);
  // The middle child starts the program and exits at once, so the program is adopted by init
  // and never becomes our zombie; the pipe carries exec's errno back (closed on success).
  const pid_t middle = ::fork();
  if (middle < 0) {
    const int err = errno;
    return err;
  }
  if (middle == 0) {
    ::setsid();
    const pid_t program = ::fork();
    if (program == 0) {
      ::execvp(args[0], args.data());
      const int err = errno;
      (void)!::write(report[1], &err, sizeof err);
      ::_exit(127);
    }
    if (program < 0) {
      const int err = errno;
      (void)!::write(report[1], &err, sizeof err);
    }
    ::_exit(0);
  }
  report_write.reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n = 0;
  do {
    n = ::read(report_read.get(), &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

void OpenURLWithDefaultHandler(const std::string& url) {
  const int err = SpawnDetached({"xdg-open", url});
  if (err != 0) {
    throw base::Exception("Error while launching browser: " + std::to_string(err) + ".");
  }
}

}  // namespace appsrv::host
