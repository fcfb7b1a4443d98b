#include "host/service_unit.h"

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

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

// Runs `argv` (looked up on the PATH) and waits for it; throws when it cannot start or does not
// exit with status 0.
void run_command(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = 0;
  if (const int err = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
      err != 0) {
    throw base::Exception(argv[0] + ": " + base::errno_text(err));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      base::throw_errno("waitpid");
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const std::string& a : argv) {
      command += (command.empty() ? "" : " ") + a;
    }
    throw base::Exception(command + " failed with status " +
                          std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                           : 128 + WTERMSIG(status)) +
                          ".");
  }
}

bool is_system_unit_folder(const std::string& folder) {
  return base::include_trailing_slash(folder) == kSystemUnitFolder;
}

// systemd reads a new or removed unit only when told to; one that is not running reads every
// unit when it starts. True when it was told.
bool reload_systemd_if_it_reads(const std::string& folder) {
  if (!is_system_unit_folder(folder) || sd_booted() <= 0) {
    return false;
  }
  run_command({"systemctl", "daemon-reload"});
  return true;
}

bool user_exists(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  return ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
         found != nullptr;
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

std::string service_user_name(std::string_view unit_name) {
  std::string user;
  for (const char c : unit_name.substr(0, 32)) {
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const bool allowed = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') ||
                         lower == '_' || lower == '-';
    user += allowed ? lower : '-';
  }
  if (user.empty() || !(user[0] >= 'a' && user[0] <= 'z')) {
    user = ("app-" + user).substr(0, 32);
  }
  return user;
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
         "User=" + service_user_name(unit.name) + "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         // Settings that stopped one start stop the next one too.
         "RestartPreventExitStatus=" + std::to_string(kConfigurationExitCode) + "\n"
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

std::vector<std::string> service_data_entries(const std::string& folder) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (const std::filesystem::directory_entry& entry :
       std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    const std::filesystem::file_status st = entry.symlink_status(ec);
    const bool program = std::filesystem::is_regular_file(st) &&
                         (st.permissions() & (std::filesystem::perms::owner_exec |
                                              std::filesystem::perms::group_exec |
                                              std::filesystem::perms::others_exec)) !=
                             std::filesystem::perms::none;
    // A link could lead chown -R out of the folder.
    if (!program && name != "wwwroot" && !std::filesystem::is_symlink(st)) {
      entries.push_back(name);
    }
  }
  if (ec) {
    throw base::Exception(folder + ": " + ec.message());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<std::vector<std::string>> service_account_commands(
    const ServiceUnit& unit, bool user_exists, const std::vector<std::string>& data_entries) {
  const std::string user = service_user_name(unit.name);
  const std::string folder = checked_path("folder", unit.folder);
  std::vector<std::vector<std::string>> commands;
  if (!user_exists) {
    commands.push_back({"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                        folder, "--shell", "/usr/sbin/nologin", "--comment",
                        one_line(unit.description), user});
  }
  // "--" keeps a data file whose name starts with "-" from being read as an option.
  commands.push_back({"chown", user + ":", "--", folder});
  for (const std::string& entry : data_entries) {
    commands.push_back({"chown", "-R", user + ":", "--", folder + "/" + entry});
  }
  return commands;
}

InstallOutcome install_service_unit(const std::string& folder, const ServiceUnit& unit) {
  const std::string text = service_unit_text(unit);
  InstallOutcome outcome;
  outcome.path = unit_path(folder, unit.name);
  const std::string& path = outcome.path;
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
  if (is_system_unit_folder(folder)) {
    try {
      const std::string user = service_user_name(unit.name);
      for (const std::vector<std::string>& command :
           service_account_commands(unit, user_exists(user),
                                    service_data_entries(checked_path("folder", unit.folder)))) {
        run_command(command);
      }
    } catch (const base::Exception&) {
      // A unit whose account does not own its folder would fail at every start; without the
      // unit the operator can mend the cause and install again.
      ::unlink(path.c_str());
      throw;
    }
    outcome.account_prepared = true;
  }
  outcome.systemd_reloaded = reload_systemd_if_it_reads(folder);
  return outcome;
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
