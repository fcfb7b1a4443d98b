#include "host/command_line.h"

#include "base/text.h"

namespace appsrv::host {
namespace {

std::vector<std::string>& program_arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

bool IsSwitch(std::string_view argument, std::string_view name) {
  return argument.size() == name.size() + 1 && (argument[0] == '-' || argument[0] == '/') &&
         base::iequals(argument.substr(1), name);
}

bool FindCmdLineSwitch(const std::vector<std::string>& arguments, std::string_view name) {
  for (const std::string& argument : arguments) {
    if (IsSwitch(argument, name)) {
      return true;
    }
  }
  return false;
}

void SetProgramArguments(int argc, const char* const* argv) {
  program_arguments().assign(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
}

const std::vector<std::string>& ProgramArguments() { return program_arguments(); }

bool HasSwitch(std::string_view name) { return FindCmdLineSwitch(ProgramArguments(), name); }

}  // namespace appsrv::host
