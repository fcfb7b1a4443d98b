// The process-wide table of file extensions: content type and whether a file is static.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace appsrv::server {

// Static files are served from the content folder outside sessions. Extensions are kept with
// their dot and compared without ASCII case. Class-level and thread-safe; entries are
// normally registered at start-up only.
class MimeTypes {
 public:
  // Adds an extension (".js" or "js"), or replaces the type and flag of an existing one.
  static void RegisterType(std::string_view aFileExtension, std::string_view aMimeTypeDesc,
                           bool aIsStatic);
  static bool IsStaticFile(std::string_view aFileName);
  // As above; on true, `aMimeType` receives the file's content type.
  static bool IsStaticFile(std::string_view aFileName, std::string& aMimeType);
  // The table's type; else the platform's type for the extension; else
  // "application/octet-stream".
  static std::string GetAsString(std::string_view extension);
  // .JPG, .PNG, .GIF, .JPEG and .JPE.
  static bool IsImageFile(std::string_view aFileName);

  // Reads the platform's types from a mime.types file ("type ext ext ..." lines, "#"
  // comments) in place of /etc/mime.types. A missing file leaves the platform types empty.
  static void LoadPlatformTypes(const std::string& path);
};

// Parses mime.types text into extension (with dot, lower case) -> content type. A later line
// does not replace an earlier one.
std::map<std::string, std::string> parse_mime_types(std::string_view text);

}  // namespace appsrv::server
