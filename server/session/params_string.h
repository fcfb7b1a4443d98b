// Start parameters of a session: a name=value list whose raw form is "?a=1&b=2".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/name_value_list.h"

namespace appsrv::server {

class TSvServerControllerBase;

// Name=value lines with "=" as separator and "&" as delimiter; lookups ignore case.
class TSvParamsString : public base::NameValueList {
 public:
  TSvParamsString() : base::NameValueList('=') {}

  // "?" + the lines joined by "&", or "" without lines.
  std::string Raw() const;
  // Drops a leading "?" and splits at "&" (empty pieces are dropped). Each piece stays as it
  // came, blanks and control characters included, so that SetRaw(Raw()) gives the same lines.
  void SetRaw(std::string_view raw);
  // Replaces the lines by those of `params` that may travel in start URLs: lines starting with
  // "SV_" are skipped, the rest pass CheckStartParameter with the controller's
  // OnParseParameter as arbiter.
  void FillFrom(const base::NameValueList& params, const TSvServerControllerBase& controller);
};

// 1-based position of the first script-injection pattern in a parameter line, or nullopt
// when the line is harmless.
std::optional<size_t> CheckStartParameter(std::string_view line);

}  // namespace appsrv::server
