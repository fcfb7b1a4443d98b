#include "base/ini_text.h"

#include <vector>

#include "base/text.h"

namespace appsrv::base {
namespace {

// The section a header line opens, or nullopt for any other line.
std::optional<std::string_view> section_of(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() != '[') {
    return std::nullopt;
  }
  const size_t close = line.find(']');
  if (close == std::string_view::npos) {
    return std::nullopt;
  }
  return trim(line.substr(1, close - 1));
}

// Whether `line` is a "key=value" line for `key`.
bool is_key_line(std::string_view line, std::string_view key) {
  line = trim(line);
  if (line.empty() || line.front() == ';') {
    return false;
  }
  const size_t eq = line.find('=');
  return eq != std::string_view::npos && iequals(trim(line.substr(0, eq)), key);
}

}  // namespace

std::optional<std::string> ini_value(std::string_view text, std::string_view section,
                                     std::string_view key) {
  bool in_section = false;
  for (const std::string& line : split(text, '\n')) {
    if (const auto opened = section_of(line)) {
      in_section = iequals(*opened, section);
      continue;
    }
    if (in_section && is_key_line(line, key)) {
      const std::string_view trimmed = trim(line);
      return std::string(trim(trimmed.substr(trimmed.find('=') + 1)));
    }
  }
  return std::nullopt;
}

std::vector<std::string> ini_keys(std::string_view text, std::string_view section) {
  std::vector<std::string> keys;
  bool in_section = false;
  for (const std::string& line : split(text, '\n')) {
    if (const auto opened = section_of(line)) {
      in_section = iequals(*opened, section);
      continue;
    }
    const std::string_view trimmed = trim(line);
    if (!in_section || trimmed.empty() || trimmed.front() == ';') {
      continue;
    }
    if (const size_t eq = trimmed.find('='); eq != std::string_view::npos) {
      keys.emplace_back(trim(trimmed.substr(0, eq)));
    }
  }
  return keys;
}

std::string ini_set_value(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view value) {
  std::vector<std::string> lines = split(text, '\n');
  // split() leaves one empty piece after a final line end; it is restored on joining.
  const bool ended = !lines.empty() && lines.back().empty();
  if (ended) {
    lines.pop_back();
  }
  const std::string new_line = std::string(key) + "=" + std::string(value);
  bool in_section = false;
  std::optional<size_t> section_end;  // index after the last non-blank line of the section
  for (size_t i = 0; i < lines.size(); ++i) {
    if (const auto opened = section_of(lines[i])) {
      in_section = iequals(*opened, section);
      if (in_section) {
        section_end = i + 1;
      }
      continue;
    }
    if (!in_section) {
      continue;
    }
    if (is_key_line(lines[i], key)) {
      // Keep a CR of a CR LF file so the line ends as its neighbours do.
      lines[i] = lines[i].ends_with('\r') ? new_line + "\r" : new_line;
      return join(lines, "\n") + (ended ? "\n" : "");
    }
    if (!trim(lines[i]).empty()) {
      section_end = i + 1;
    }
  }
  if (section_end) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*section_end), new_line);
  } else {
    lines.push_back(std::string("[").append(section).append("]"));
    lines.push_back(new_line);
  }
  return join(lines, "\n") + "\n";
}

}  // namespace appsrv::base
