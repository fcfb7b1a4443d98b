#include "server/session/session_carrier.h"

#include "server/session/session.h"

namespace appsrv::server {

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
  result.track_id = TrackIDFromText(track);
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
