#include "render/markup_tag.h"

#include <array>
#include <exception>

#include "base/exception.h"
#include "base/text.h"

namespace appsrv::render {

namespace {

std::string_view entry_name(std::string_view entry) {
  const size_t eq = entry.find('=');
  return eq == std::string_view::npos ? entry : entry.substr(0, eq);
}

}  // namespace

TSvMarkupLanguageTag::TSvMarkupLanguageTag(std::string_view name)
    : FTag(base::ascii_lowercase(name)) {}

std::optional<size_t> TSvMarkupLanguageTag::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < FParams.size(); ++i) {
    if (FParams[i].find('=') != std::string::npos && base::iequals(entry_name(FParams[i]), name)) {
      return i;
    }
  }
  return std::nullopt;
}

void TSvMarkupLanguageTag::AddStringParam(std::string_view name, std::string_view value,
                                          bool allow_empty) {
  if (value.empty()) {
    if (allow_empty) {
      ClearParam(name);
    }
    return;
  }
  std::string entry = base::ascii_lowercase(name) + "=" + std::string(value);
  if (const std::optional<size_t> at = IndexOf(name)) {
    FParams[*at] = std::move(entry);
  } else {
    FParams.push_back(std::move(entry));
  }
}

void TSvMarkupLanguageTag::AddIntegerParam(std::string_view name, int64_t value) {
  AddStringParam(name, std::to_string(value));
}

void TSvMarkupLanguageTag::AddBooleanParam(std::string_view name, bool value) {
  AddStringParam(name, value ? "true" : "false");
}

void TSvMarkupLanguageTag::AddColorParam(std::string_view name, TColor color) {
  AddStringParam(name, ColorText(color));
}

void TSvMarkupLanguageTag::AddClassParam(std::string_view class_name) {
  const std::optional<std::string> current = Param("class");
  if (current && !current->empty()) {
    AddStringParam("class", *current + " " + std::string(class_name));
  } else {
    AddStringParam("class", class_name);
  }
}

void TSvMarkupLanguageTag::AddParam(std::string_view entry) { FParams.emplace_back(entry); }

void TSvMarkupLanguageTag::AddParams(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    FParams.emplace_back(base::trim(entry));
  }
}

void TSvMarkupLanguageTag::ClearParam(std::string_view name) {
  if (const std::optional<size_t> at = IndexOf(name)) {
    FParams.erase(FParams.begin() + static_cast<std::ptrdiff_t>(*at));
  }
}

std::optional<std::string> TSvMarkupLanguageTag::Param(std::string_view name) const {
  if (const std::optional<size_t> at = IndexOf(name)) {
    return FParams[*at].substr(FParams[*at].find('=') + 1);
  }
  return std::nullopt;
}

std::unique_ptr<TSvMarkupLanguageTag> TSvMarkupLanguageTag::MakeChild(std::string_view name) const {
  return std::make_unique<TSvMarkupLanguageTag>(name);
}

TSvMarkupLanguageTag& TSvMarkupLanguageTag::AddTag(std::string_view name) {
  std::unique_ptr<TSvMarkupLanguageTag> child = MakeChild(name);
  TSvMarkupLanguageTag& ref = *child;
  FContents.push_back(std::move(child));
  return ref;
}

void TSvMarkupLanguageTag::AddText(std::string text) {
  FContents.push_back(std::make_unique<TSvMarkupLanguageText>(std::move(text)));
}

void TSvMarkupLanguageTag::AddBuffer(std::string bytes) {
  FContents.push_back(std::make_unique<TSvMarkupLanguageBuffer>(std::move(bytes)));
}

void TSvMarkupLanguageTag::AddElement(std::unique_ptr<TSvMarkupLanguageElement> element) {
  FContents.push_back(std::move(element));
}

TSvMarkupLanguageTag& TSvMarkupLanguageTag::AddHiddenField(std::string_view name,
                                                           std::string_view value) {
  TSvMarkupLanguageTag& input = AddTag("input");
  input.AddStringParam("type", "hidden");
  input.AddStringParam("name", name);
  input.AddStringParam("value", value);
  return input;
}

TSvMarkupLanguageTag& TSvMarkupLanguageTag::AddHiddenField(std::string_view id,
                                                           std::string_view name,
                                                           std::string_view value) {
  TSvMarkupLanguageTag& input = AddHiddenField(name, value);
  input.AddStringParam("id", id);
  return input;
}

void TSvMarkupLanguageTag::Render(std::string& out) const {
  if (!FTag.empty()) {
    out += '<';
    out += FTag;
    for (const std::string& entry : FParams) {
      out += ' ';
      const size_t eq = entry.find('=');
      if (eq == std::string::npos) {
        out += entry;
      } else {
        // Only the first "=" separates, so a value may hold "=" itself.
        out.append(entry, 0, eq + 1);
        out += '"';
        out.append(entry, eq + 1);
        out += '"';
      }
    }
    out += FClosingTag == TClosingTag::cbSimpleClose ? "/>" : ">";
  }
  try {
    for (const std::unique_ptr<TSvMarkupLanguageElement>& child : FContents) {
      if (!FIsPreformated && dynamic_cast<const TSvMarkupLanguageTag*>(child.get()) != nullptr) {
        out += "\r\n";
      }
      child->Render(out);
    }
  } catch (const std::exception& e) {
    throw base::Exception(std::string(e.what()) + "\r\n Tag: " + FTag);
  }
  if (FClosingTag == TClosingTag::cbTrue || (FClosingTag == TClosingTag::cbAuto && !FTag.empty())) {
    out += "</" + FTag + ">";
  }
}

std::string TSvMarkupLanguageTag::Rendered() const {
  std::string out;
  Render(out);
  return out;
}

TSvHTMLTag::TSvHTMLTag(std::string_view name) : TSvMarkupLanguageTag(name) {
  static constexpr std::array<std::string_view, 7> kVoid = {"area", "br",    "frame", "hr",
                                                            "img",  "input", "link"};
  static constexpr std::array<std::string_view, 5> kOneLine = {"pre", "a", "div", "tr", "td"};
  for (const std::string_view v : kVoid) {
    if (Name() == v) {
      SetClosingTag(TClosingTag::cbFalse);
    }
  }
  if (Name().empty()) {
    SetClosingTag(TClosingTag::cbFalse);
  }
  for (const std::string_view v : kOneLine) {
    if (Name() == v) {
      SetPreformated(true);
    }
  }
}

std::unique_ptr<TSvMarkupLanguageTag> TSvHTMLTag::MakeChild(std::string_view name) const {
  return std::make_unique<TSvHTMLTag>(name);
}

}  // namespace appsrv::render
