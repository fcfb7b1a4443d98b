// The systemd unit that runs the program as a service: its text, and adding it to or removing
// it from the folder systemd reads units from.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::host {

struct ServiceUnit {
  std::string name;         // the unit's name without ".service"
  std::string description;  // one line; control characters become blanks
  std::string program;      // absolute path of the program systemd starts
  std::string folder;       // its working directory, the one folder it may write to
};

// Throws base::Exception when `name` cannot name a systemd unit.
void check_unit_name(std::string_view name);

// The unit file: a notify service that restarts on failure, may write only to its own folder
// and a private /tmp, and logs to the journal. Throws base::Exception for a bad name, a path
// that is not absolute, or a path with control characters.
std::string service_unit_text(const ServiceUnit& unit);

// $APPSRV_UNIT_FOLDER when set (tests use it), else "/etc/systemd/system/"; ends with "/".
std::string service_unit_folder();

// Writes folder + name + ".service" and reloads systemd when it reads that folder. Throws
// base::Exception when the file exists already or cannot be written, or the reload fails.
void install_service_unit(const std::string& folder, const ServiceUnit& unit);

// Removes folder + name + ".service" and reloads systemd when it reads that folder. Throws
// base::Exception when there is no such file or it cannot be removed, or the reload fails.
void uninstall_service_unit(const std::string& folder, std::string_view name);

}  // namespace appsrv::host
