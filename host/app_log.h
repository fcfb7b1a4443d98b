// The application log file beside the program: one line per call, UTF-16 LE without a byte
// order mark, closed after every line, appends serialised by one process-wide lock.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/date_time.h"

namespace appsrv::host {

// Program folder + program file name without its extension + "." + `extension`.
std::string application_log_path(std::string_view extension);

// The bytes of one line: "yyyy-mm-dd hh:nn:ss", one blank, `text`, CR LF, as UTF-16 LE.
std::string application_log_line(base::DateTime when, std::string_view text);

// Appends one line stamped with the current local time to `path`, creating the file when it is
// missing. Throws base::Exception with the system's text when the file cannot be written.
void append_log_line(const std::string& path, std::string_view text);

// Appends `text` to the application log file with `extension` ("log" at start-up), and shows
// it on the console while one is open: the console prints every log line.
void AppendApplicationLog(std::string_view text, std::string_view extension = "log");

// The console's line writer while it is open (empty: none). Safe from any thread; clearing it
// waits for a line being shown.
void SetConsoleEcho(std::function<void(std::string_view)> line);

// A line for whoever runs the server: on the console while one is open, else on standard error
// (the service program's journal under systemd).
void OperatorLine(std::string_view text);

}  // namespace appsrv::host
