#include "transport/http/http_header_list.h"

#include <algorithm>
#include <bitset>
#include <stdexcept>

#include "base/text.h"

namespace appsrv::transport {
namespace {

bool is_continuation(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// Lengths first: most names a lookup meets differ in length, and the case-blind comparison is
// a call into base.
bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && base::iequals(a, b);
}

bool has_name(std::string_view line, std::string_view name) {
  // Only a name as long as the wanted one can match: its colon sits right after it.
  if (line.size() <= name.size() || line[name.size()] != ':') {
    return false;
  }
  return line.find(':') == name.size() && base::iequals(line.substr(0, name.size()), name);
}

bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

bool has_field_name(std::string_view line) {
  const size_t colon = line.find(':');
  return colon != std::string_view::npos && colon > 0 &&
         std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                     is_token_char);
}

std::optional<size_t> TInHeaderList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (!is_continuation(lines_[i]) && has_name(lines_[i], name)) {
      return i;
    }
  }
  return std::nullopt;
}

std::string TInHeaderList::value_at(size_t index) const {
  const std::string& line = lines_[index];
  const std::string_view first = base::trim(std::string_view(line).substr(line.find(':') + 1));
  // A value on one line, nearly every one, is made once.
  if (index + 1 >= lines_.size() || !is_continuation(lines_[index + 1])) {
    return std::string(first);
  }
  std::string value(first);
  for (size_t i = index + 1; i < lines_.size() && is_continuation(lines_[i]); ++i) {
    value = std::string(base::trim(value)) + " " + std::string(base::trim(lines_[i]));
  }
  return std::string(base::trim_right(value));
}

std::string TInHeaderList::Values(std::string_view name) const {
  const std::optional<size_t> index = IndexOfName(name);
  return index ? value_at(*index) : std::string();
}

void TInHeaderList::FirstValues(std::span<const std::string_view> names,
                                const std::function<void(size_t, std::string)>& found) const {
  if (names.size() > kMaxFirstValuesNames) {
    throw std::invalid_argument("FirstValues: too many names");
  }
  // Runs for every request: the flags stay off the heap.
  std::bitset<kMaxFirstValuesNames> done;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view line = lines_[i];
    const size_t colon = line.find(':');
    if (is_continuation(line) || colon == std::string_view::npos) {
      continue;
    }
    const std::string_view name = line.substr(0, colon);
    for (size_t k = 0; k < names.size(); ++k) {
      if (!done[k] && same_name(name, names[k])) {
        done[k] = true;
        found(k, value_at(i));
        break;
      }
    }
  }
}

std::vector<std::string> TInHeaderList::Extract(std::string_view name) const {
  std::vector<std::string> values;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (!is_continuation(lines_[i]) && has_name(lines_[i], name)) {
      values.push_back(value_at(i));
    }
  }
  return values;
}

void TInHeaderList::SetValue(std::string_view name, std::string_view value) {
  const std::optional<size_t> index = IndexOfName(name);
  if (value.empty()) {
    if (index) {
      size_t end = *index + 1;
      while (end < lines_.size() && is_continuation(lines_[end])) {
        ++end;
      }
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*index),
                   lines_.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return;
  }
  std::string line = std::string(name) + ": " + std::string(value);
  if (index) {
    lines_[*index] = std::move(line);
  } else {
    lines_.push_back(std::move(line));
  }
}

}  // namespace appsrv::transport
