// The JSON parser: whatever it accepts, the writer's text (compact, escaped or indented) reads
// back to a value that writes the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/dyn_object.h"

namespace {

using appsrv::json::TDynObject;

std::string reparsed(const std::string& text) {
  const auto again = TDynObject::ParseString(std::string_view(text), false, false);
  if (!again) {
    std::abort();
  }
  return again->AsJSon(false, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto value = TDynObject::ParseString(input);
  if (!value) {
    TDynObject::ParseString(input, false, false);
    return 0;
  }
  const std::string compact = value->AsJSon(false, false);
  if (reparsed(compact) != compact || reparsed(value->AsJSon(false, true)) != compact ||
      reparsed(value->AsJSon(true, false)) != compact) {
    std::abort();
  }
  return 0;
}
