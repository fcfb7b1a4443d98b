// The files of resources/ that the build embeds into the program, looked up by resource name.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace appsrv::server {

struct EmbeddedResource {
  const char* name;  // upper case, as "SV_JS_SVBASE"
  const unsigned char* data;
  size_t size;
};

// Defined by the source the build generates from resources/resources.cmake.
extern const EmbeddedResource kEmbeddedResources[];
extern const size_t kEmbeddedResourceCount;

// The bytes of the resource named `name` (ASCII case ignored), or nullopt. The bytes live for
// the whole process.
std::optional<std::string_view> find_embedded_resource(std::string_view name);

}  // namespace appsrv::server
