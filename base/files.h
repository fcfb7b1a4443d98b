// File and folder helpers over POSIX paths ("/" separated).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/date_time.h"

namespace appsrv::base {

bool file_exists(const std::string& path);       // a regular file
bool directory_exists(const std::string& path);  // a folder
std::optional<int64_t> file_size(const std::string& path);
// Last modification time as a local date-time, or nullopt when the file is missing.
std::optional<DateTime> file_modified(const std::string& path);

// Creates the folder and its missing parents with `mode`; true when it exists afterwards.
bool force_directories(const std::string& path, mode_t mode = 0700);
// Removes a file; true when it is gone afterwards.
bool delete_file(const std::string& path);
// Removes a folder with everything in it; quiet when it does not exist.
void remove_tree(const std::string& path);

// Whole-file reads and writes; throw Exception with the system text on failure.
std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0600);
// Writes `bytes` to a new file in the folder of `path` and renames it over `path`, so that a
// reader (or a crash, or a failed write) sees the old content or the new, never a part. On
// failure the temporary file is gone, `path` is as it was, and Exception says why.
void replace_file(const std::string& path, std::string_view bytes, mode_t mode = 0600);
// Writes all of `bytes` to `fd`, going on after interrupted and short writes; returns 0 or the
// errno of the write that failed.
int write_all(int fd, std::string_view bytes);
// Copies the file `from` into `to` (created or truncated, mode 0600); returns 0 or the errno of
// the step that failed.
int copy_file(const std::string& from, const std::string& to);

std::string include_trailing_slash(std::string_view path);
std::string exclude_trailing_slash(std::string_view path);
// "/a/b/c.txt" -> "c.txt"; "/a/b/" (folder part with its slash); ".txt" (with the dot, or "").
std::string extract_file_name(std::string_view path);
std::string extract_file_path(std::string_view path);
std::string extract_file_ext(std::string_view path);
std::string change_file_ext(std::string_view path, std::string_view ext);
// Absolute form of `path` (relative paths start at the current folder) with "." and ".."
// segments resolved and repeated "/" collapsed, without touching the file system. ".." at the
// root stays at the root; a trailing "/" is kept.
std::string expand_file_name(std::string_view path);

// Full path of the running executable; nullopt when the system does not tell.
std::optional<std::string> executable_path();
// Folder of the running executable, with a trailing "/".
std::string executable_folder();
// File name of the running executable ("appserver"), or "appserver" when it cannot be read.
std::string executable_file_name();
// The system's folder for temporary files ($TMPDIR or /tmp), with a trailing "/".
std::string system_temp_folder();

}  // namespace appsrv::base
