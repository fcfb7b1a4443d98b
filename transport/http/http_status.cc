#include "transport/http/http_status.h"

namespace appsrv::transport {
namespace {

struct Phrase {
  int code;
  std::string_view text;
};

constexpr Phrase kPhrases[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method not allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Long"},
    {414, "Request-URI Too Long. 256 Chars max"},
    {415, "Unsupported Media Type"},
    {417, "Expectation Failed"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway timeout"},
    {505, "HTTP version not supported"},
    {511, "Network Authentication Required"},
};

}  // namespace

std::string_view StatusPhrase(int code) {
  for (const Phrase& p : kPhrases) {
    if (p.code == code) {
      return p.text;
    }
  }
  return "Unknown Response Code";
}

}  // namespace appsrv::transport
