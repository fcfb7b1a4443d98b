#include "base/name_value_list.h"

#include "base/text.h"

namespace appsrv::base {

void NameValueList::add(std::string_view name, std::string_view value) {
  std::string line;
  line.reserve(name.size() + 1 + value.size());
  line += name;
  line += separator_;
  line += value;
  lines_.push_back(std::move(line));
}

std::optional<size_t> NameValueList::index_of_name(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string& line = lines_[i];
    const size_t pos = line.find(separator_);
    if (pos != std::string::npos && pos == name.size() &&
        iequals(std::string_view(line).substr(0, pos), name)) {
      return i;
    }
  }
  return std::nullopt;
}

std::string NameValueList::value(std::string_view name) const {
  const auto i = index_of_name(name);
  return i ? value_at(*i) : std::string();
}

void NameValueList::set_value(std::string_view name, std::string_view value) {
  std::string line(name);
  line += separator_;
  line += value;
  if (const auto i = index_of_name(name)) {
    lines_[*i] = std::move(line);
  } else {
    lines_.push_back(std::move(line));
  }
}

std::string NameValueList::name_at(size_t i) const {
  const std::string& line = lines_.at(i);
  const size_t pos = line.find(separator_);
  return pos == std::string::npos ? line : line.substr(0, pos);
}

std::string NameValueList::value_at(size_t i) const {
  const std::string& line = lines_.at(i);
  const size_t pos = line.find(separator_);
  return pos == std::string::npos ? std::string() : line.substr(pos + 1);
}

std::string NameValueList::text(std::string_view line_end) const {
  std::string out;
  for (const std::string& line : lines_) {
    out += line;
    out += line_end;
  }
  return out;
}

}  // namespace appsrv::base
