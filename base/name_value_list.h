// An ordered list of text lines read as name<sep>value pairs (form fields, cookies, headers).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::base {

// Lines keep their order and duplicates. Lookups take the first line whose part before the
// first separator equals the name, ignoring ASCII case; a missing name reads as "".
// Not thread-safe: each list belongs to one request or one owner.
class NameValueList {
 public:
  explicit NameValueList(char separator = '=') : separator_(separator) {}

  char separator() const { return separator_; }
  void set_separator(char c) { separator_ = c; }

  const std::vector<std::string>& lines() const { return lines_; }
  std::vector<std::string>& lines() { return lines_; }
  size_t size() const { return lines_.size(); }
  bool empty() const { return lines_.empty(); }
  const std::string& operator[](size_t i) const { return lines_[i]; }

  void add(std::string line) { lines_.push_back(std::move(line)); }
  // Appends name + separator + value.
  void add(std::string_view name, std::string_view value);
  void clear() { lines_.clear(); }
  void erase(size_t i) { lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i)); }

  // Index of the first line whose name matches, or nullopt.
  std::optional<size_t> index_of_name(std::string_view name) const;
  // Value of the first matching line, or "".
  std::string value(std::string_view name) const;
  bool contains(std::string_view name) const { return index_of_name(name).has_value(); }
  // Replaces the first matching line by name + separator + value, or appends one.
  void set_value(std::string_view name, std::string_view value);

  // Name and value parts of line i (the whole line is the name when it has no separator).
  std::string name_at(size_t i) const;
  std::string value_at(size_t i) const;

  // All lines joined, each followed by `line_end`.
  std::string text(std::string_view line_end = "\r\n") const;

 private:
  char separator_;
  std::vector<std::string> lines_;
};

}  // namespace appsrv::base
