// Identifiers of sessions that expired recently (TSvExpiredSessionList), each with the raw run
// parameters a restarted session takes over and the time it was listed.
//
// Every client that comes without a cookie can leave an entry here, and thousands of sessions
// may expire in one pass, so the list is kept compact and in few blocks: one fixed-size record
// per entry in one array, the identifiers and parameters back to back in one text buffer, and
// a flat hash index over the records. Thousands of small blocks, allocated while the sessions
// still lived, would sit between the freed sessions and keep the allocator from giving their
// pages back.
//
// Not thread-safe: the session list guards it with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"

namespace appsrv::server {

// The list is bounded: beyond `entries` entries, or beyond `text_bytes` of identifiers and
// parameters, the older entries are dropped until both are at half their limit. Run parameters
// longer than `run_params_bytes` are not kept (a restart after expiry then starts without
// them).
struct ExpiredListLimits {
  size_t entries = 20000;
  size_t run_params_bytes = 2048;
  size_t text_bytes = size_t{1} << 20;
};

class TSvExpiredSessionList {
 public:
  // Lists `id` unless it is listed already: the first listing wins, a later one would only
  // move the pruning time.
  void Add(std::string_view id, std::string_view run_params, base::DateTime listed_at);
  bool Contains(std::string_view id) const;
  // The raw run parameters of the listed `id`; with `remove` its entry is dropped.
  std::optional<std::string> GetParams(std::string_view id, bool remove);
  // Drops the entries listed more than `age_days` before `now`.
  void Prune(base::DateTime now, double age_days);
  void Clear();
  void SetLimits(const ExpiredListLimits& limits);

  size_t size() const { return entries_.size(); }
  // What the list holds allocated, all blocks counted at their capacity.
  size_t allocated_bytes() const;

 private:
  struct Entry {
    uint64_t hash;
    base::DateTime listed_at;
    uint32_t text_offset;  // the identifier, then the parameters, in text_
    uint32_t id_size;
    uint32_t params_size;
  };

  std::string_view IdOf(const Entry& e) const;
  std::string_view ParamsOf(const Entry& e) const;
  // The slot that refers to `id`, or the empty slot where it would go. REQUIRES: slots_ has an
  // empty slot.
  size_t FindSlot(std::string_view id, uint64_t hash) const;
  void EraseAt(size_t slot);
  // Rebuilds the index with room for `count` entries at most half full.
  void Reindex(size_t count);
  // Keeps the entries for which `keep` is true, with their text packed again.
  template <typename Keep>
  void Rebuild(Keep keep);
  void EnforceLimits();

  ExpiredListLimits limits_;
  std::vector<Entry> entries_;  // in no particular order
  // Open addressing with linear probing: 0 is an empty slot, n refers to entries_[n - 1]. The
  // size is a power of two, at least twice the number of entries.
  std::vector<uint32_t> slots_;
  std::string text_;
  size_t live_text_ = 0;  // bytes of text_ that entries still refer to
};

}  // namespace appsrv::server
