// Dynamically typed JSON values: the parameters and results of the application service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/dyn_avl_tree.h"

namespace appsrv::json {

enum class TDynType {
  stNull,
  stBoolean,
  stDouble,
  stCurrency,
  stInt,
  stObject,
  stArray,
  stString,
  stMethod,
};

// Elements of an array value; an element may be empty (absent).
using TDynArray = std::vector<IDynObject>;
// The payload of a stMethod value: called with its arguments, returns a value or nothing.
using TDynMethod = std::function<IDynObject(const TDynArray& args)>;

// One value, shared through IDynObject (a std::shared_ptr): every holder keeps a reference
// and the last one frees it. A value belongs to one request; it is not safe to use one value
// from two threads at once. Names and strings are UTF-16 inside; the std::string forms of
// the interface are UTF-8 and are converted at the call.
class TDynObject {
 public:
  explicit TDynObject(TDynType type);
  TDynObject(const TDynObject&) = delete;
  TDynObject& operator=(const TDynObject&) = delete;
  ~TDynObject() = default;

  static IDynObject make_null();
  static IDynObject make_boolean(bool value);
  static IDynObject make_double(double value);
  // `scaled` is the number times 10 000.
  static IDynObject make_currency(int64_t scaled);
  static IDynObject make_int(int64_t value);
  static IDynObject make_object();
  static IDynObject make_array();
  static IDynObject make_string(std::u16string text);
  static IDynObject make_string(std::string_view utf8);
  static IDynObject make_method(TDynMethod method);

  // Reads `text` with the lenient grammar. Nothing (an empty pointer) when it does not parse.
  // With `partial` false, anything but whitespace and comments after the value fails too;
  // `strict` is accepted and changes nothing.
  static IDynObject ParseString(std::u16string_view text, bool strict = false, bool partial = true);
  static IDynObject ParseString(std::string_view utf8, bool strict = false, bool partial = true);

  // The member `key` by AsInteger / AsString; 0 or "" when absent or not an object.
  int64_t GetI(std::string_view key) const;
  std::string GetS(std::string_view key) const;
  // GetS as UTF-16, so that lone surrogates pass through unchanged.
  std::u16string member_text(std::string_view key) const;
  // Store a new stInt / stString value under `key`; nothing happens unless this is an object.
  void PutI(std::string_view key, int64_t value);
  void PutS(std::string_view key, std::string_view utf8);
  void PutS(std::string_view key, std::u16string text);

  int64_t AsInteger() const;
  // A string's own text; any other value as AsJSon(false, false).
  std::string AsString() const;
  std::u16string as_u16string() const;
  // Compact JSON text. `escape` writes every code unit from U+0080 up as \uXXXX, so the text
  // is pure ASCII; without it non-ASCII text is written as UTF-8. `indent` adds line breaks and
  // two spaces per level.
  std::string AsJSon(bool indent, bool escape) const;

  TDynType type() const { return type_; }
  bool bool_value() const;
  // stInt: the value; stCurrency: the number times 10 000; otherwise 0.
  int64_t int_value() const;
  double double_value() const;
  // A stString's text; empty for other types.
  const std::u16string& text() const;

  // nullptr unless this is an object / array / method.
  const TDynTableString* table() const;
  TDynTableString* table();
  const TDynArray* array() const;
  TDynArray* array();
  const TDynMethod* method() const;

  // The member named `name` (empty when absent or not an object).
  IDynObject member(std::u16string_view name) const;
  // Stores `value` under `name`, adding the member or replacing its value; no effect unless
  // this is an object. A value may hold itself; the writer then leaves the inner one out, but
  // such a cycle keeps itself alive until a member is reset.
  void set_member(std::u16string_view name, IDynObject value);

 private:
  friend class DynWriter;

  TDynType type_;
  // Set while the value is being written, so that a value reached through itself is written
  // once.
  mutable bool processing_ = false;
  std::variant<std::monostate, bool, double, int64_t, TDynTableString, TDynArray, std::u16string,
               TDynMethod>
      payload_;
};

// Appends the string value holding `utf8` as AsJSon(false, true) writes it, quotes included,
// without making a UTF-16 copy of the whole text: for a long text built as UTF-8 that goes into
// a JSON reply on its own.
void append_escaped_string(std::string& out, std::string_view utf8);

}  // namespace appsrv::json
