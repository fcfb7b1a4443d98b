// port.ini read strictly: each integer through base::parse_int within its range, a bad value
// stopping the start with its section, key and value named, and the keys that no reader asked
// for in a section that was read collected as warnings (a mistyped key is otherwise silent).
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::server {

// Used on one thread while the controller configures itself.
class PortIni {
 public:
  explicit PortIni(std::string text) : text_(std::move(text)) {}

  // Sets `value` from the key when it is there. Throws ESvException naming the section, the
  // key and the value when that is not a whole decimal number from `min` to `max`.
  template <std::integral T>
  void read(std::string_view section, std::string_view key, T& value,
            T min = std::numeric_limits<T>::min(), T max = std::numeric_limits<T>::max()) {
    if (const std::optional<int64_t> v = read_integer(section, key, min, max)) {
      value = static_cast<T>(*v);
    }
  }
  // A switch: 1 or 0; anything else throws as read() does.
  void read_flag(std::string_view section, std::string_view key, bool& value);
  // The key's text (blanks around it dropped), or nullopt when it is not there.
  std::optional<std::string> read_text(std::string_view section, std::string_view key);

  // One line for each key of a section read so far that no reader asked for: "port.ini:
  // [LIMITS] has no setting MaxSesions; the line is ignored."
  std::vector<std::string> unknown_key_warnings() const;

 private:
  std::optional<int64_t> read_integer(std::string_view section, std::string_view key,
                                      int64_t min, int64_t max);

  struct Key {
    std::string section;
    std::string key;
  };
  std::string text_;
  std::vector<Key> asked_;  // every key a reader asked for, present or not
};

}  // namespace appsrv::server
