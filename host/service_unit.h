// The systemd unit that runs the program as a service: its text, and adding it to or removing
// it from the folder systemd reads units from.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace appsrv::host {

// The exit status of a service that cannot start for its configuration (a bad port.ini value,
// a port in use, an unreadable certificate): sysexits.h's EX_CONFIG. The unit does not restart
// on it, since the same settings would fail the same way.
inline constexpr int kConfigurationExitCode = 78;

struct ServiceUnit {
  std::string name;         // the unit's name without ".service"
  std::string description;  // one line; control characters become blanks
  std::string program;      // absolute path of the program systemd starts
  std::string folder;       // its working directory, the one folder it may write to
};

// The system account a unit runs as: its name in lower case, characters useradd refuses as
// "-", at most 32 characters, and "app-" before a name that does not start with a letter.
std::string service_user_name(std::string_view unit_name);

// Throws base::Exception when `name` cannot name a systemd unit.
void check_unit_name(std::string_view name);

// The unit file: a notify service that runs as service_user_name(), restarts on failure but
// not on kConfigurationExitCode, may write only to its own folder and a private /tmp, and
// logs to the journal. Throws base::Exception for a bad name, a path
// that is not absolute, or a path with control characters.
std::string service_unit_text(const ServiceUnit& unit);

// $APPSRV_UNIT_FOLDER when set (tests use it), else "/etc/systemd/system/"; ends with "/".
std::string service_unit_folder();

// The entries of the program's folder that the service writes or must read as its own: all
// but the programs (files with an execute bit) and the content folder wwwroot/, which it only
// reads. Names relative to the folder, sorted.
std::vector<std::string> service_data_entries(const std::string& folder);

// The commands that give the service its account and its folder: useradd (a system account
// without a home or a login shell) unless `user_exists`, then chown of the folder itself and
// of each of `data_entries` (recursively) to that account.
std::vector<std::vector<std::string>> service_account_commands(
    const ServiceUnit& unit, bool user_exists, const std::vector<std::string>& data_entries);

// What install_service_unit did beyond writing the unit.
struct InstallOutcome {
  std::string path;             // the unit file written
  bool account_prepared = false;  // the service's account exists and owns its folder
  bool systemd_reloaded = false;  // systemd has read the unit
};

// Writes folder + name + ".service". When `folder` is the system's unit folder it also runs
// service_account_commands() and, when systemd runs (/run/systemd/system), reloads it; into
// any other folder (tests, a staging copy) it writes the file alone. Throws base::Exception
// when the file exists already or cannot be written, or a command fails.
InstallOutcome install_service_unit(const std::string& folder, const ServiceUnit& unit);

// Removes folder + name + ".service" and reloads systemd when it reads that folder. Throws
// base::Exception when there is no such file or it cannot be removed, or the reload fails.
void uninstall_service_unit(const std::string& folder, std::string_view name);

}  // namespace appsrv::host
