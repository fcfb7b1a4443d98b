#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "base/exception.h"
#include "base/unique_fd.h"

namespace appsrv::base {

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool directory_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<int64_t> file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(st.st_size);
}

std::optional<DateTime> file_modified(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return unix_to_local(st.st_mtim.tv_sec);
}

bool force_directories(const std::string& path, mode_t mode) {
  if (path.empty()) {
    return false;
  }
  std::string current;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      current = path.substr(0, i);
      if (!directory_exists(current) && ::mkdir(current.c_str(), mode) != 0 && errno != EEXIST) {
        return false;
      }
    }
  }
  return directory_exists(exclude_trailing_slash(path).empty() ? "/"
                                                               : exclude_trailing_slash(path));
}

bool delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

void remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    throw_errno("open " + path);
  }
  std::string out;
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno("read " + path);
    }
    if (n == 0) {
      return out;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

void write_file(const std::string& path, std::string_view bytes, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (fd.get() < 0) {
    throw_errno("open " + path);
  }
  if (const int err = write_all(fd.get(), bytes); err != 0) {
    throw Exception("write " + path + ": " + errno_text(err));
  }
}

void replace_file(const std::string& path, std::string_view bytes, mode_t mode) {
  // In the same folder: rename() replaces atomically only within one file system.
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    throw_errno("create a temporary file beside " + path);
  }
  int err = ::fchmod(fd.get(), mode) == 0 ? 0 : errno;
  if (err == 0) {
    err = write_all(fd.get(), bytes);
  }
  // Data on disk before the name points at it, or a crash could leave an empty file.
  if (err == 0 && ::fsync(fd.get()) != 0) {
    err = errno;
  }
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    ::unlink(temp.c_str());
    throw Exception("write " + path + ": " + errno_text(err));
  }
}

int write_all(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

namespace {

// The rest of `in` appended to `out`; 0 or the errno of the failed read or write.
int copy_rest(int in, int out) {
  char chunk[16384];
  while (true) {
    const ssize_t n = ::read(in, chunk, sizeof chunk);
    if (n == 0) {
      return 0;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (const int err = write_all(out, std::string_view(chunk, static_cast<size_t>(n)));
        err != 0) {
      return err;
    }
  }
}

}  // namespace

int copy_file(const std::string& from, const std::string& to) {
  const UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) {
    return errno;
  }
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out.valid()) {
    return errno;
  }
  int err = copy_rest(in.get(), out.get());
  // A failed close can be the first sign that the data did not reach the disk.
  if (const int close_err = out.close(); err == 0) {
    err = close_err;
  }
  return err;
}

std::string include_trailing_slash(std::string_view path) {
  std::string out(path);
  if (out.empty() || out.back() != '/') {
    out += '/';
  }
  return out;
}

std::string exclude_trailing_slash(std::string_view path) {
  std::string out(path);
  if (!out.empty() && out.back() == '/') {
    out.pop_back();
  }
  return out;
}

std::string extract_file_name(std::string_view path) {
  const size_t pos = path.rfind('/');
  return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

std::string extract_file_path(std::string_view path) {
  const size_t pos = path.rfind('/');
  return pos == std::string_view::npos ? std::string() : std::string(path.substr(0, pos + 1));
}

std::string extract_file_ext(std::string_view path) {
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return {};
  }
  return std::string(path.substr(dot));
}

std::string change_file_ext(std::string_view path, std::string_view ext) {
  const std::string old_ext = extract_file_ext(path);
  return std::string(path.substr(0, path.size() - old_ext.size())) + std::string(ext);
}

namespace {

// True when expanding `path` gives it back unchanged: absolute, and no empty, "." or ".."
// part before its end. Every request maps its URL to a file under the content folder.
bool is_expanded(std::string_view path) {
  if (path.empty() || path.front() != '/') {
    return false;
  }
  size_t start = 1;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

std::string expand_file_name(std::string_view path) {
  if (is_expanded(path)) {
    return std::string(path);
  }
  std::string full;
  if (path.empty() || path.front() != '/') {
    std::error_code ec;
    full = std::filesystem::current_path(ec).string();
    full += '/';
  }
  full += path;
  std::vector<std::string_view> parts;
  const std::string_view view(full);
  size_t start = 0;
  while (start <= view.size()) {
    size_t end = view.find('/', start);
    if (end == std::string_view::npos) {
      end = view.size();
    }
    const std::string_view part = view.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  out.reserve(full.size() + 1);
  for (const std::string_view part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty() || (!path.empty() && path.back() == '/')) {
    out += '/';
  }
  return out;
}

std::optional<std::string> executable_path() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) {
    return std::nullopt;
  }
  return std::string(buf, static_cast<size_t>(n));
}

std::string executable_folder() {
  const std::optional<std::string> path = executable_path();
  return path ? extract_file_path(*path) : "./";
}

std::string executable_file_name() {
  const std::optional<std::string> path = executable_path();
  return path ? extract_file_name(*path) : "appserver";
}

std::string system_temp_folder() {
  const char* env = std::getenv("TMPDIR");
  return include_trailing_slash(env != nullptr && *env != '\0' ? env : "/tmp");
}

}  // namespace appsrv::base
