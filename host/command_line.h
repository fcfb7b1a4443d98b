// The program's arguments and its switches: "-" or "/" followed by exactly the switch name,
// compared without ASCII case ("-gui", "/GUI"; not "GUI" nor "-GUI:1").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace appsrv::host {

// Whether `argument` is the switch `name`.
bool IsSwitch(std::string_view argument, std::string_view name);

// Whether one of `arguments` is the switch `name`.
bool FindCmdLineSwitch(const std::vector<std::string>& arguments, std::string_view name);

// The process's arguments without the program name; main() stores them before start-up, which
// reads them on the main thread only.
void SetProgramArguments(int argc, const char* const* argv);
const std::vector<std::string>& ProgramArguments();

// FindCmdLineSwitch over ProgramArguments().
bool HasSwitch(std::string_view name);

}  // namespace appsrv::host
