// The element tree every rendered page is built from: tags with attributes and children, plain
// texts and already rendered buffers, written in one pass.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "render/html_text.h"

namespace appsrv::render {

class TSvMarkupLanguageElement {
 public:
  virtual ~TSvMarkupLanguageElement() = default;
  // Appends the element's markup to `out`.
  virtual void Render(std::string& out) const = 0;
};

// Written unchanged: callers encode it first.
class TSvMarkupLanguageText : public TSvMarkupLanguageElement {
 public:
  explicit TSvMarkupLanguageText(std::string text) : text_(std::move(text)) {}
  void Render(std::string& out) const override { out += text_; }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Bytes rendered elsewhere, written unchanged.
class TSvMarkupLanguageBuffer : public TSvMarkupLanguageElement {
 public:
  explicit TSvMarkupLanguageBuffer(std::string bytes) : bytes_(std::move(bytes)) {}
  void Render(std::string& out) const override { out += bytes_; }

 private:
  std::string bytes_;
};

enum class TClosingTag { cbAuto = 0, cbFalse = 1, cbTrue = 2, cbSimpleClose = 3 };

class TSvMarkupLanguageTag : public TSvMarkupLanguageElement {
 public:
  explicit TSvMarkupLanguageTag(std::string_view name);

  const std::string& Name() const { return FTag; }
  TClosingTag ClosingTag() const { return FClosingTag; }
  void SetClosingTag(TClosingTag mode) { FClosingTag = mode; }
  bool IsPreformated() const { return FIsPreformated; }
  void SetPreformated(bool value) { FIsPreformated = value; }

  // An existing attribute keeps its place and takes the new value; a new one goes last. An
  // empty value is ignored, or, when `allow_empty`, removes the attribute.
  void AddStringParam(std::string_view name, std::string_view value, bool allow_empty = false);
  void AddIntegerParam(std::string_view name, int64_t value);
  void AddBooleanParam(std::string_view name, bool value);
  // No color adds nothing.
  void AddColorParam(std::string_view name, TColor color);
  // Appends to the "class" attribute, one blank apart.
  void AddClassParam(std::string_view class_name);
  // Appends an entry unchanged ("checked", or "name=value" taken as it is).
  void AddParam(std::string_view entry);
  // Appends each entry trimmed of blanks.
  void AddParams(const std::vector<std::string>& entries);
  void ClearParam(std::string_view name);
  // The value of an attribute; nullopt when absent or bare.
  std::optional<std::string> Param(std::string_view name) const;
  const std::vector<std::string>& Params() const { return FParams; }

  // Creates a child tag of the same kind as this one.
  TSvMarkupLanguageTag& AddTag(std::string_view name);
  void AddText(std::string text);
  void AddBuffer(std::string bytes);
  void AddElement(std::unique_ptr<TSvMarkupLanguageElement> element);
  // A child "input" of type hidden; the value is set only when not empty.
  TSvMarkupLanguageTag& AddHiddenField(std::string_view name, std::string_view value);
  TSvMarkupLanguageTag& AddHiddenField(std::string_view id, std::string_view name,
                                       std::string_view value);
  const std::vector<std::unique_ptr<TSvMarkupLanguageElement>>& Contents() const {
    return FContents;
  }

  // Writes the tag and its children. An error from a child is passed on with CR LF,
  // " Tag: " and this tag's name appended to its message.
  void Render(std::string& out) const override;
  std::string Rendered() const;

 protected:
  virtual std::unique_ptr<TSvMarkupLanguageTag> MakeChild(std::string_view name) const;

 private:
  std::optional<size_t> IndexOf(std::string_view name) const;

  std::string FTag;                  // lower case
  std::vector<std::string> FParams;  // "name=value" or bare, in insertion order
  std::vector<std::unique_ptr<TSvMarkupLanguageElement>> FContents;
  TClosingTag FClosingTag = TClosingTag::cbTrue;
  bool FIsPreformated = false;
};

// HTML elements: void elements write no end tag, and "pre", "a", "div", "tr" and "td" keep
// their children on one line.
class TSvHTMLTag : public TSvMarkupLanguageTag {
 public:
  explicit TSvHTMLTag(std::string_view name);

 protected:
  std::unique_ptr<TSvMarkupLanguageTag> MakeChild(std::string_view name) const override;
};

}  // namespace appsrv::render
