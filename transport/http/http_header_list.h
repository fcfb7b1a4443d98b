// Raw header lines ("Name: value") with lookups that unfold continuation lines.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::transport {

// True when the line starts with a field name (a token of RFC 9110 5.6.2) followed at once by
// ":". Blanks before the colon are refused by RFC 9112 5.1: one parser drops them and reads a
// field that another takes for a name of its own.
bool has_field_name(std::string_view line);

// A line's name is the text before its first ":"; its value the text after it, trimmed, with
// every following line that starts with a blank or tab appended after one blank. Lookups
// ignore the name's case and take the first match. Belongs to one request or response.
class TInHeaderList {
 public:
  const std::vector<std::string>& lines() const { return lines_; }
  std::vector<std::string>& lines() { return lines_; }
  bool empty() const { return lines_.empty(); }
  void add(std::string line) { lines_.push_back(std::move(line)); }
  void clear() { lines_.clear(); }

  // Value of the first line named `name`, "" when there is none.
  std::string Values(std::string_view name) const;
  std::optional<size_t> IndexOfName(std::string_view name) const;
  // For each of `names` that a line has, in the order the lines come: found(index into
  // `names`, value of the first line with that name). One pass over the lines however many
  // names are asked for. At most kMaxFirstValuesNames names (std::invalid_argument beyond).
  static constexpr size_t kMaxFirstValuesNames = 64;
  void FirstValues(std::span<const std::string_view> names,
                   const std::function<void(size_t, std::string)>& found) const;
  // The values of every line named `name`, in order.
  std::vector<std::string> Extract(std::string_view name) const;
  // Replaces the first line named `name` by name + ": " + value, or appends one; an empty value
  // deletes that line.
  void SetValue(std::string_view name, std::string_view value);

 private:
  std::string value_at(size_t index) const;

  std::vector<std::string> lines_;
};

}  // namespace appsrv::transport
