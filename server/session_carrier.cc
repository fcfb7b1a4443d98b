#include "server/session_carrier.h"

#include <limits>
#include <optional>

#include "base/encoding.h"
#include "base/text.h"

namespace appsrv::server {

int64_t parse_track_id(std::string_view text) {
  const std::optional<uint64_t> value = base::from_base36(text);
  if (!value || *value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return -1;
  }
  return static_cast<int64_t>(*value);
}

std::string track_id_text(uint64_t track_id) {
  return base::ascii_lowercase(base::to_base36(track_id));
}

SessionCarrier parse_session_carrier(std::string_view carrier) {
  SessionCarrier result;
  const size_t sep = carrier.find('_');
  if (sep == std::string_view::npos) {
    result.app_id = carrier;
    return result;
  }
  result.app_id = carrier.substr(0, sep);
  std::string_view track = carrier.substr(sep + 1);
  // Only the second part counts: "id_track_more" reads "track".
  track = track.substr(0, track.find('_'));
  result.track_id = parse_track_id(track);
  return result;
}

std::string session_segment_of_path(std::string_view path) {
  const size_t marker = path.find("/$");
  if (marker == std::string_view::npos || marker == 0) {
    return {};
  }
  const size_t slash = path.rfind('/', marker - 1);
  if (slash == std::string_view::npos) {
    return {};
  }
  return std::string(path.substr(slash + 1, marker - slash - 1));
}

}  // namespace appsrv::server
