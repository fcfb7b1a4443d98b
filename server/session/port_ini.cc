#include "server/session/port_ini.h"

#include <algorithm>

#include "base/ini_text.h"
#include "base/parse_int.h"
#include "base/text.h"
#include "server/exchange/sv_exception.h"

namespace appsrv::server {
namespace {

[[noreturn]] void throw_bad_value(std::string_view section, std::string_view key,
                                  std::string_view value, const std::string& wanted) {
  throw ESvException("port.ini: [" + std::string(section) + "] " + std::string(key) + "=" +
                     std::string(value) + " is not " + wanted + ".");
}

}  // namespace

std::optional<std::string> PortIni::read_text(std::string_view section, std::string_view key) {
  asked_.push_back({std::string(section), std::string(key)});
  return base::ini_value(text_, section, key);
}

std::optional<int64_t> PortIni::read_integer(std::string_view section, std::string_view key,
                                             int64_t min, int64_t max) {
  const std::optional<std::string> text = read_text(section, key);
  if (!text) {
    return std::nullopt;
  }
  const std::optional<int64_t> value = base::parse_int<int64_t>(*text);
  if (!value || *value < min || *value > max) {
    throw_bad_value(section, key, *text,
                    "a whole number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

void PortIni::read_flag(std::string_view section, std::string_view key, bool& value) {
  const std::optional<std::string> text = read_text(section, key);
  if (!text) {
    return;
  }
  if (*text != "0" && *text != "1") {
    throw_bad_value(section, key, *text, "1 (on) or 0 (off)");
  }
  value = *text == "1";
}

std::vector<std::string> PortIni::unknown_key_warnings() const {
  std::vector<std::string> sections;
  for (const Key& asked : asked_) {
    if (std::none_of(sections.begin(), sections.end(),
                     [&](const std::string& s) { return base::iequals(s, asked.section); })) {
      sections.push_back(asked.section);
    }
  }
  std::vector<std::string> warnings;
  for (const std::string& section : sections) {
    for (const std::string& key : base::ini_keys(text_, section)) {
      const bool known = std::any_of(asked_.begin(), asked_.end(), [&](const Key& asked) {
        return base::iequals(asked.section, section) && base::iequals(asked.key, key);
      });
      if (!known) {
        warnings.push_back("port.ini: [" + section + "] has no setting " + key +
                           "; the line is ignored.");
      }
    }
  }
  return warnings;
}

}  // namespace appsrv::server
