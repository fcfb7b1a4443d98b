#include "base/request_refusal.h"

#include <array>

namespace appsrv::base {
namespace {

// In the order of the enum; the static_assert below keeps the two in step.
constexpr std::array<RefusalFacts, kRequestRefusals> kFacts = {{
    {431, "header_too_large"},
    {400, "malformed_header_line"},
    {400, "missing_host"},
    {400, "unknown_body_end"},
    {413, "body_too_large"},
    {400, "bad_chunk"},
    {411, "length_required"},
    {417, "expectation_failed"},
    {403, "blocked_by_hook"},
    {408, "timed_out"},
    {500, "body_not_kept"},
}};
static_assert(static_cast<size_t>(RequestRefusal::kBodyNotKept) + 1 == kRequestRefusals);

}  // namespace

RefusalFacts refusal_facts(RequestRefusal refusal) noexcept {
  return kFacts[static_cast<size_t>(refusal)];
}

}  // namespace appsrv::base
