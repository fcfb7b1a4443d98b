#include "server/session/expired_session_list.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <numeric>

namespace appsrv::server {

namespace {

constexpr size_t kMinSlots = 16;
// Text no entry refers to any more (after removals) is packed away once it passes both the
// live text and this much.
constexpr size_t kLooseTextSlack = 4096;
// Offsets into the text are 32 bits; the text, loose bytes included, stays below twice the
// limit plus the slack.
constexpr size_t kMaxTextBytes = std::numeric_limits<uint32_t>::max() / 4;

uint64_t hash_id(std::string_view id) { return std::hash<std::string_view>{}(id); }

}  // namespace

std::string_view TSvExpiredSessionList::IdOf(const Entry& e) const {
  return std::string_view(text_).substr(e.text_offset, e.id_size);
}

std::string_view TSvExpiredSessionList::ParamsOf(const Entry& e) const {
  return std::string_view(text_).substr(e.text_offset + e.id_size, e.params_size);
}

size_t TSvExpiredSessionList::FindSlot(std::string_view id, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint32_t ref = slots_[i];
    if (ref == 0) {
      return i;
    }
    const Entry& e = entries_[ref - 1];
    if (e.hash == hash && IdOf(e) == id) {
      return i;
    }
  }
}

void TSvExpiredSessionList::Add(std::string_view id, std::string_view run_params,
                                base::DateTime listed_at) {
  if (slots_.size() < 2 * (entries_.size() + 1)) {
    Reindex(entries_.size() + 1);
  }
  const uint64_t hash = hash_id(id);
  const size_t slot = FindSlot(id, hash);
  if (slots_[slot] != 0) {
    return;
  }
  if (run_params.size() > limits_.run_params_bytes) {
    run_params = {};
  }
  entries_.push_back(Entry{hash, listed_at, static_cast<uint32_t>(text_.size()),
                           static_cast<uint32_t>(id.size()),
                           static_cast<uint32_t>(run_params.size())});
  text_.append(id).append(run_params);
  live_text_ += id.size() + run_params.size();
  slots_[slot] = static_cast<uint32_t>(entries_.size());
  EnforceLimits();
}

bool TSvExpiredSessionList::Contains(std::string_view id) const {
  return !entries_.empty() && slots_[FindSlot(id, hash_id(id))] != 0;
}

std::optional<std::string> TSvExpiredSessionList::GetParams(std::string_view id, bool remove) {
  if (entries_.empty()) {
    return std::nullopt;
  }
  const size_t slot = FindSlot(id, hash_id(id));
  if (slots_[slot] == 0) {
    return std::nullopt;
  }
  std::string params(ParamsOf(entries_[slots_[slot] - 1]));
  if (remove) {
    EraseAt(slot);
  }
  return params;
}

void TSvExpiredSessionList::EraseAt(size_t slot) {
  const size_t mask = slots_.size() - 1;
  const uint32_t index = slots_[slot] - 1;
  live_text_ -= entries_[index].id_size + entries_[index].params_size;

  // Close the gap: a later slot of the same probe run moves into it unless its own home
  // position lies cyclically within (hole, later slot].
  size_t hole = slot;
  for (size_t j = (hole + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    const size_t home = entries_[slots_[j] - 1].hash & mask;
    const bool reachable = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!reachable) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = 0;

  // The last record takes the freed place in the array.
  const uint32_t last = static_cast<uint32_t>(entries_.size() - 1);
  if (index != last) {
    const Entry& moved = entries_[last];
    slots_[FindSlot(IdOf(moved), moved.hash)] = index + 1;
    entries_[index] = moved;
  }
  entries_.pop_back();

  if (entries_.empty()) {
    Clear();
  } else if (text_.size() - live_text_ > std::max(live_text_, kLooseTextSlack)) {
    Rebuild([](const Entry&) { return true; });
  }
}

void TSvExpiredSessionList::Reindex(size_t count) {
  const size_t size = std::bit_ceil(std::max(kMinSlots, 2 * count));
  std::vector<uint32_t> slots(size, 0);
  slots_.swap(slots);
  const size_t mask = size - 1;
  for (size_t n = 0; n < entries_.size(); ++n) {
    size_t i = entries_[n].hash & mask;
    while (slots_[i] != 0) {
      i = (i + 1) & mask;
    }
    slots_[i] = static_cast<uint32_t>(n + 1);
  }
}

template <typename Keep>
void TSvExpiredSessionList::Rebuild(Keep keep) {
  // New blocks of the right size, so that a list that shrank also gives its memory back.
  std::vector<Entry> entries;
  std::string text;
  size_t count = 0;
  size_t bytes = 0;
  for (const Entry& e : entries_) {
    if (keep(e)) {
      ++count;
      bytes += e.id_size + e.params_size;
    }
  }
  entries.reserve(count);
  text.reserve(bytes);
  for (const Entry& e : entries_) {
    if (keep(e)) {
      Entry moved = e;
      moved.text_offset = static_cast<uint32_t>(text.size());
      text.append(IdOf(e)).append(ParamsOf(e));
      entries.push_back(moved);
    }
  }
  entries_.swap(entries);
  text_.swap(text);
  live_text_ = bytes;
  Reindex(entries_.size());
}

void TSvExpiredSessionList::EnforceLimits() {
  if (entries_.size() <= limits_.entries && live_text_ <= limits_.text_bytes) {
    return;
  }
  // Keep the newest entries up to half of each limit, so that trimming stays rare.
  std::vector<uint32_t> newest(entries_.size());
  std::iota(newest.begin(), newest.end(), 0U);
  std::stable_sort(newest.begin(), newest.end(), [this](uint32_t a, uint32_t b) {
    return entries_[a].listed_at > entries_[b].listed_at;
  });
  std::vector<bool> keep(entries_.size(), false);
  size_t kept = 0;
  size_t bytes = 0;
  for (const uint32_t n : newest) {
    if (kept + 1 > limits_.entries / 2) {
      break;
    }
    // An entry too large for the room left gives way to older, smaller ones.
    const size_t size = entries_[n].id_size + entries_[n].params_size;
    if (bytes + size > limits_.text_bytes / 2) {
      continue;
    }
    keep[n] = true;
    ++kept;
    bytes += size;
  }
  Rebuild([&](const Entry& e) { return keep[static_cast<size_t>(&e - entries_.data())]; });
}

void TSvExpiredSessionList::Prune(base::DateTime now, double age_days) {
  const bool any = std::any_of(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return now - e.listed_at > age_days; });
  if (any) {
    Rebuild([&](const Entry& e) { return now - e.listed_at <= age_days; });
  }
}

void TSvExpiredSessionList::Clear() {
  std::vector<Entry>().swap(entries_);
  std::vector<uint32_t>().swap(slots_);
  std::string().swap(text_);
  live_text_ = 0;
}

void TSvExpiredSessionList::SetLimits(const ExpiredListLimits& limits) {
  limits_ = limits;
  limits_.text_bytes = std::min(limits_.text_bytes, kMaxTextBytes);
  limits_.run_params_bytes = std::min(limits_.run_params_bytes, limits_.text_bytes);
  EnforceLimits();
}

size_t TSvExpiredSessionList::allocated_bytes() const {
  // A short text lives inside the string object.
  const size_t text = text_.capacity() > std::string().capacity() ? text_.capacity() : 0;
  return entries_.capacity() * sizeof(Entry) + slots_.capacity() * sizeof(uint32_t) + text;
}

}  // namespace appsrv::server
