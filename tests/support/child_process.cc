#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace appsrv::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& folder,
                           const std::vector<std::string>& extra_env) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  // The environment is built before fork: the child of a threaded process may only make
  // async-signal-safe calls before exec.
  std::vector<std::string> env_text(extra_env);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& extra : extra_env) {
      replaced = replaced || extra.starts_with(name);
    }
    if (!replaced) {
      env_text.emplace_back(entry);
    }
  }
  std::vector<char*> envp;
  for (std::string& e : env_text) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    if (::chdir(folder.c_str()) != 0) {
      ::_exit(126);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  // A server that dies must not kill the test with SIGPIPE when the test writes a command.
  ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {input_, output_, pidfd_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    const size_t eol = pending_.find('\n');
    if (eol != std::string::npos) {
      std::string line = pending_.substr(0, eol);
      pending_.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      lines_.push_back(line);
      return line;
    }
    if (output_ < 0) {
      return std::nullopt;
    }
    pollfd p{output_, POLLIN, 0};
    const int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    char buf[4096];
    const ssize_t got = ::read(output_, buf, sizeof buf);
    if (got <= 0) {
      ::close(output_);
      output_ = -1;
      continue;
    }
    pending_.append(buf, static_cast<size_t>(got));
  }
}

std::optional<std::string> ChildProcess::WaitForLine(std::string_view prefix,
                                                     std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (true) {
    std::optional<std::string> line = ReadLine(std::chrono::milliseconds(remaining_ms(deadline)));
    if (!line) {
      return std::nullopt;
    }
    if (line->starts_with(prefix)) {
      return line;
    }
  }
}

void ChildProcess::WriteInput(const std::string& text) {
  size_t done = 0;
  while (input_ >= 0 && done < text.size()) {
    const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

void ChildProcess::CloseInput() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

void ChildProcess::Signal(int signal) {
  if (!status_) {
    ::kill(pid_, signal);
  }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_) {
    return status_;
  }
  pollfd p{pidfd_, POLLIN, 0};
  if (pidfd_ >= 0 && ::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
    return std::nullopt;
  }
  int status = 0;
  if (::waitpid(pid_, &status, pidfd_ >= 0 ? 0 : WNOHANG) != pid_) {
    return std::nullopt;
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

bool ChildProcess::Running() { return !Wait(std::chrono::milliseconds(0)); }

}  // namespace appsrv::testing
