#include "host/service_unit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/exception.h"
#include "base/files.h"
#include "base/unique_fd.h"

extern char** environ;

namespace appsrv::host {
namespace {

constexpr std::string_view kSystemUnitFolder = "/etc/systemd/system/";
// systemd's limit on a unit name, ".service" included.
constexpr size_t kMaxUnitNameLength = 255;

bool is_unit_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == ':' || c == '-' || c == '_' || c == '.';
}

bool has_control_char(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return true;
    }
  }
  return false;
}

// systemd expands "%" specifiers in most settings, and "$" variables in command lines.
std::string escape_specifiers(std::string_view s) {
  std::string out;
  for (const char c : s) {
    out += c;
    if (c == '%') {
      out += '%';
    }
  }
  return out;
}

// A path as one quoted word, so that blanks stay inside it.
std::string quoted_word(std::string_view path, bool in_command_line) {
  std::string out = "\"";
  for (const char c : escape_specifiers(path)) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
    if (c == '$' && in_command_line) {
      out += '$';
    }
  }
  return out + "\"";
}

std::string checked_path(std::string_view what, std::string_view path) {
  if (path.empty() || path[0] != '/' || has_control_char(path)) {
    throw base::Exception("The " + std::string(what) + " \"" + std::string(path) +
                          "\" is not an absolute path without control characters.");
  }
  return path.size() > 1 ? base::exclude_trailing_slash(path) : std::string(path);
}

std::string one_line(std::string_view text) {
  std::string out;
  for (const char c : text) {
    out += has_control_char(std::string_view(&c, 1)) ? ' ' : c;
  }
  // A line that ends in a backslash would run on into the next one.
  while (!out.empty() && (out.back() == '\\' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

std::string unit_path(const std::string& folder, std::string_view name) {
  return base::include_trailing_slash(folder) + std::string(name) + ".service";
}

// systemd reads a new or removed unit only when told to.
void reload_systemd_if_it_reads(const std::string& folder) {
  if (base::include_trailing_slash(folder) != kSystemUnitFolder || sd_booted() <= 0) {
    return;
  }
  const char* argv[] = {"systemctl", "daemon-reload", nullptr};
  pid_t pid = 0;
  if (const int err = ::posix_spawnp(&pid, argv[0], nullptr, nullptr,
                                     const_cast<char* const*>(argv), environ);
      err != 0) {
    throw base::Exception("systemctl daemon-reload: " + base::errno_text(err));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      base::throw_errno("waitpid");
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw base::Exception("systemctl daemon-reload failed with status " +
                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                           : 128 + WTERMSIG(status)) +
                          ".");
  }
}

}  // namespace

void check_unit_name(std::string_view name) {
  bool ok = !name.empty() && name.size() + 8 <= kMaxUnitNameLength;
  for (const char c : name) {
    ok = ok && is_unit_name_char(c);
  }
  if (!ok) {
    throw base::Exception("\"" + std::string(name) +
                          "\" cannot name a systemd unit: use letters, digits, \":\", \"-\", "
                          "\"_\" and \".\".");
  }
}

std::string service_unit_text(const ServiceUnit& unit) {
  check_unit_name(unit.name);
  const std::string program = checked_path("program", unit.program);
  const std::string folder = checked_path("folder", unit.folder);
  return "[Unit]\n"
         "Description=" + escape_specifiers(one_line(unit.description)) + "\n"
         "After=network.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + quoted_word(program, true) + "\n"
         "WorkingDirectory=" + escape_specifiers(folder) + "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         // Two descriptors for every session whose database connection is open (those with a
         // request in the last minute), one for every connection being served: see the README.
         "LimitNOFILE=65536\n"
         "NoNewPrivileges=yes\n"
         "ProtectSystem=strict\n"
         "ReadWritePaths=" + quoted_word(folder, false) + "\n"
         "PrivateTmp=yes\n"
         "StandardOutput=journal\n"
         "StandardError=journal\n"
         "SyslogIdentifier=" + unit.name + "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string service_unit_folder() {
  const char* folder = std::getenv("APPSRV_UNIT_FOLDER");
  return folder != nullptr && *folder != '\0' ? base::include_trailing_slash(folder)
                                              : std::string(kSystemUnitFolder);
}

void install_service_unit(const std::string& folder, const ServiceUnit& unit) {
  const std::string text = service_unit_text(unit);
  const std::string path = unit_path(folder, unit.name);
  base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    throw base::Exception(errno == EEXIST ? "The unit file " + path + " exists already."
                                          : path + ": " + base::errno_text(errno));
  }
  int err = base::write_all(fd.get(), text);
  if (const int close_err = fd.close(); err == 0) {
    err = close_err;
  }
  if (err != 0) {
    ::unlink(path.c_str());  // half a unit would be worse than none
    throw base::Exception(path + ": " + base::errno_text(err));
  }
  reload_systemd_if_it_reads(folder);
}

void uninstall_service_unit(const std::string& folder, std::string_view name) {
  check_unit_name(name);
  const std::string path = unit_path(folder, name);
  if (::unlink(path.c_str()) != 0) {
    throw base::Exception(errno == ENOENT ? "The unit file " + path + " does not exist."
                                          : path + ": " + base::errno_text(errno));
  }
  reload_systemd_if_it_reads(folder);
}

}  // namespace appsrv::host
