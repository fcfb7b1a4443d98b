// The JSON document tree of the grid endpoint: members keep their insertion order and strings
// keep their non-ASCII characters.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::json {

// Any node of a document. Containers own their nodes; freeing the root frees the tree.
class JsonValue {
 public:
  JsonValue() = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  virtual ~JsonValue() = default;

  // The compact text of this node, UTF-8.
  std::string ToString() const;
  // Appends the compact text to `out`.
  virtual void write(std::string& out) const = 0;
};

// A string of UTF-16 code units, written as UTF-8 with only the quote, the backslash and the
// code units below U+0020 escaped. Kept as the UTF-8 it is written as: a text that is not
// valid UTF-8 has its bad bytes replaced once, when the string is made.
class TJSONString : public JsonValue {
 public:
  explicit TJSONString(std::u16string_view value);
  explicit TJSONString(std::string_view utf8);
  // Takes a string's text over when it is ASCII, as most cells are: no second copy. (A
  // template, so that a literal still means the string_view form.)
  template <class Text>
    requires std::same_as<Text, std::string>
  explicit TJSONString(Text&& utf8) : TJSONString(std::move(utf8), 0) {}

  void write(std::string& out) const override;
  // The bytes write() appends, counted without writing them: a caller that bounds a document
  // by its written size learns it before the text exists.
  size_t written_size() const;

 private:
  TJSONString(std::string&& utf8, int);
  std::string text_;  // UTF-8 of the code units (a lone surrogate as its three bytes)
};

// A whole number, kept as its decimal text.
class TJSONNumber : public JsonValue {
 public:
  explicit TJSONNumber(int32_t value) : TJSONNumber(static_cast<int64_t>(value)) {}
  explicit TJSONNumber(int64_t value);

  const std::string& text() const { return text_; }
  void write(std::string& out) const override;

 private:
  std::string text_;
};

// A name and the value it owns.
class TJSONPair {
 public:
  TJSONPair(std::string_view name, std::unique_ptr<JsonValue> value);
  TJSONPair(const TJSONPair&) = delete;
  TJSONPair& operator=(const TJSONPair&) = delete;
  ~TJSONPair() = default;

  const TJSONString& name() const { return name_; }
  const JsonValue& value() const { return *value_; }
  void write(std::string& out) const;

 private:
  TJSONString name_;
  std::unique_ptr<JsonValue> value_;
};

// Elements in the order they were added.
class TJSONArray : public JsonValue {
 public:
  TJSONArray() = default;

  // Appends a new TJSONString.
  void Add(std::string_view utf8);
  void Add(std::unique_ptr<TJSONArray> array);
  void Add(std::unique_ptr<JsonValue> value);

  size_t size() const { return elements_.size(); }
  const JsonValue& at(size_t i) const { return *elements_[i]; }
  void write(std::string& out) const override;

 private:
  std::vector<std::unique_ptr<JsonValue>> elements_;
};

// Pairs in the order they were added; a name added twice gives two pairs.
class TJSONObject : public JsonValue {
 public:
  TJSONObject() = default;

  void AddPair(std::unique_ptr<TJSONPair> pair);
  void AddPair(std::string_view name, std::unique_ptr<JsonValue> value);

  size_t size() const { return pairs_.size(); }
  const TJSONPair& pair(size_t i) const { return *pairs_[i]; }
  void write(std::string& out) const override;

 private:
  std::vector<std::unique_ptr<TJSONPair>> pairs_;
};

}  // namespace appsrv::json
