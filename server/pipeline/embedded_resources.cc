#include "server/pipeline/embedded_resources.h"

#include "base/text.h"

namespace appsrv::server {

std::optional<std::string_view> find_embedded_resource(std::string_view name) {
  for (size_t i = 0; i < kEmbeddedResourceCount; ++i) {
    const EmbeddedResource& r = kEmbeddedResources[i];
    if (base::iequals(r.name, name)) {
      return std::string_view(reinterpret_cast<const char*>(r.data), r.size);
    }
  }
  return std::nullopt;
}

}  // namespace appsrv::server
