#include "host/window_settings.h"

#include "base/files.h"
#include "base/ini_text.h"
#include "base/parse_int.h"
#include "base/text.h"

namespace appsrv::host {
namespace {

// Lenient: a missing or malformed setting keeps its default.
int32_t read_int(std::string_view text, std::string_view section, std::string_view key,
                 int32_t fallback) {
  const std::optional<std::string> value = base::ini_value(text, section, key);
  return value ? base::parse_int<int32_t>(*value).value_or(fallback) : fallback;
}

bool read_bool(std::string_view text, std::string_view section, std::string_view key,
               bool fallback) {
  return read_int(text, section, key, fallback ? 1 : 0) != 0;
}

std::string without_blanks(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ') {
      out.push_back(base::ascii_lower(c));
    }
  }
  return out;
}

}  // namespace

WindowSettings ParseWindowSettings(std::string_view text) {
  WindowSettings s;
  s.Parameters = base::ini_value(text, "Main", "Parameters").value_or("");
  s.DebugInfo = read_bool(text, "Main", "DebugInfo", s.DebugInfo);
  s.SSL = read_bool(text, "Main", "SSL", s.SSL);
  s.Browser = read_int(text, "Main", "Browser", s.Browser);
  s.RunInTray = read_bool(text, "Main", "RunInTray", s.RunInTray);
  s.RunMinimized = read_bool(text, "Main", "RunMinimized", s.RunMinimized);
  s.StartBrowser = read_bool(text, "Main", "StartBrowser", s.StartBrowser);
  s.SpeedLimit = read_int(text, "HTTP", "SpeedLimit", s.SpeedLimit);
  return s;
}

std::string StoreWindowSettings(std::string_view text, const WindowSettings& s) {
  const auto flag = [](bool b) { return b ? "1" : "0"; };
  std::string out(text);
  out = base::ini_set_value(out, "Main", "Parameters", s.Parameters);
  out = base::ini_set_value(out, "Main", "DebugInfo", flag(s.DebugInfo));
  out = base::ini_set_value(out, "Main", "SSL", flag(s.SSL));
  out = base::ini_set_value(out, "Main", "Browser", std::to_string(s.Browser));
  out = base::ini_set_value(out, "Main", "RunInTray", flag(s.RunInTray));
  out = base::ini_set_value(out, "Main", "RunMinimized", flag(s.RunMinimized));
  out = base::ini_set_value(out, "HTTP", "SpeedLimit", std::to_string(s.SpeedLimit));
  return out;
}

std::string WindowSettingsPath() {
  return base::executable_folder() + base::change_file_ext(base::executable_file_name(), ".svb");
}

WindowSettings LoadWindowSettings(const std::string& path) {
  return base::file_exists(path) ? ParseWindowSettings(base::read_file(path)) : WindowSettings{};
}

void SaveWindowSettings(const std::string& path, const WindowSettings& settings) {
  const std::string old = base::file_exists(path) ? base::read_file(path) : std::string();
  // Never truncated in place: a write that fails half-way would lose every setting.
  base::replace_file(path, StoreWindowSettings(old, settings), 0644);
}

SpeedSelection SelectSpeed(int32_t bits_per_second) {
  for (size_t i = 0; i < kCustomSpeedEntry; ++i) {
    if (kSpeedEntries[i].bits_per_second == bits_per_second) {
      return {i, 0};
    }
  }
  return {kCustomSpeedEntry, bits_per_second / 1000};
}

std::string SpeedText(int32_t bits_per_second) {
  const SpeedSelection selection = SelectSpeed(bits_per_second);
  std::string text(kSpeedEntries[selection.entry].text);
  if (selection.entry == kCustomSpeedEntry) {
    text += " (" + std::to_string(selection.custom_kbps) + " kbps)";
  }
  return text;
}

std::optional<size_t> FindSpeedEntry(std::string_view text) {
  const std::string wanted = without_blanks(text);
  for (size_t i = 0; i < std::size(kSpeedEntries); ++i) {
    if (without_blanks(kSpeedEntries[i].text) == wanted) {
      return i;
    }
  }
  return std::nullopt;
}

std::string with_thousands(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return out;
}

std::string FormatSentData(uint64_t bytes) {
  if (bytes > 1048576) {
    return with_thousands(bytes / 1048576) + " MB";
  }
  if (bytes > 1024) {
    return with_thousands(bytes / 1024) + " KB";
  }
  return with_thousands(bytes) + " bytes";
}

}  // namespace appsrv::host
