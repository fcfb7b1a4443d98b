// The first line of a request: method, target and protocol version, and the keep-alive rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace appsrv::transport {

// Index of a method in the command table; a method is matched ignoring case.
enum THTTPCommandType {
  hcUnknown = 0,
  hcHEAD = 1,
  hcGET = 2,
  hcPOST = 3,
  hcDELETE = 4,
  hcPUT = 5,
  hcTRACE = 6,
  hcOPTIONS = 7,
};
THTTPCommandType CommandType(std::string_view method);

struct RequestLine {
  std::string method;   // upper case
  std::string target;   // everything between the method and the version, as sent
  std::string version;  // the text after the last blank, for example "HTTP/1.1"
  int major = -1;       // -1 when not a decimal number
  int minor = -1;
};

// Splits a request line. The version is the text after the last blank; nullopt when the line
// has no blank at all (the connection is then dropped without a reply).
std::optional<RequestLine> parse_request_line(std::string_view line);

// False when a request or header line (its line end removed) holds a control character other
// than TAB: a NUL or a bare CR is read differently by different parsers on the way.
bool IsCleanHeaderLine(std::string_view line);

// True when (major, minor) is at least (want_major, want_minor).
bool version_at_least(int major, int minor, int want_major, int want_minor);

// Whether the connection stays open after this request. With keep-alive off it never does;
// HTTP/1.1 and later keep it unless Connection is "close", earlier versions only when it is
// "keep-alive".
bool keep_connection_open(bool keep_alive_allowed, int major, int minor,
                          std::string_view connection_header);

}  // namespace appsrv::transport
