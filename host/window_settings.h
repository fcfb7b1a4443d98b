// What the server window keeps between runs (the ".svb" settings file beside the program), its
// speed simulation entries and the way it shows the amount of data sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace appsrv::host {

// The settings file's values; the defaults are those of a missing file.
struct WindowSettings {
  std::string Parameters;     // [Main] Parameters: the start URL's query
  bool DebugInfo = false;     // [Main] DebugInfo
  bool SSL = false;           // [Main] SSL
  int32_t Browser = 0;        // [Main] Browser: 0 default browser .. 5 Safari
  bool RunInTray = true;      // [Main] RunInTray
  bool RunMinimized = false;  // [Main] RunMinimized
  bool StartBrowser = false;  // [Main] StartBrowser: read only, set by hand
  int32_t SpeedLimit = 0;     // [HTTP] SpeedLimit: bits per second, 0 for none

  bool operator==(const WindowSettings&) const = default;
};

// Reads the settings text; a missing key, or a value that is not a whole number where one is
// expected, gives its default. Booleans are numbers: 0 is false, any other is true.
WindowSettings ParseWindowSettings(std::string_view text);
// `text` (the file as it is, possibly empty) with every key but StartBrowser written.
std::string StoreWindowSettings(std::string_view text, const WindowSettings& settings);

// The program's path with its extension replaced by ".svb".
std::string WindowSettingsPath();
// Reads `path`; a missing file gives the defaults.
WindowSettings LoadWindowSettings(const std::string& path);
// Writes the settings into `path`, keeping the lines of the file that are not ours. The file is
// replaced whole (base::replace_file): when the write fails it keeps its old content.
void SaveWindowSettings(const std::string& path, const WindowSettings& settings);

// The speed list: entry text and bits per second; "Custom..." has -1 and takes its value in
// kilobits per second from the custom field.
struct SpeedEntry {
  std::string_view text;
  int32_t bits_per_second;
};
inline constexpr SpeedEntry kSpeedEntries[] = {
    {"None", 0},          {"32 kbps", 32000},    {"64 kbps", 64000},  {"128 kbps", 128000},
    {"256 kbps", 256000}, {"512 kbps", 512000},  {"1 Mbps", 1000000}, {"2 Mbps", 2000000},
    {"5 Mbps", 5000000},  {"10 Mbps", 10000000}, {"Custom...", -1},
};
inline constexpr size_t kCustomSpeedEntry = std::size(kSpeedEntries) - 1;

// The entry shown for a stored limit, and the custom field's kilobits for "Custom...".
struct SpeedSelection {
  size_t entry = 0;
  int32_t custom_kbps = 0;
};
SpeedSelection SelectSpeed(int32_t bits_per_second);
// The selected entry's text; "Custom... (N kbps)" for a limit of no entry.
std::string SpeedText(int32_t bits_per_second);
// Entry text compared without case and blanks ("64kbps", "none", "custom..."), or nullopt.
std::optional<size_t> FindSpeedEntry(std::string_view text);

// The sent-data label: above 1048576 bytes whole megabytes and " MB", above 1024 whole
// kilobytes and " KB", else the count and " bytes"; thousands separated by ",".
std::string FormatSentData(uint64_t bytes);
// "##,###,##0": groups of three digits parted by ",".
std::string with_thousands(uint64_t value);

}  // namespace appsrv::host
