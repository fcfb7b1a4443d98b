// What every control on a form shares for rendering: its place, size, font and render options,
// and how its name becomes the HTML name, class name and client-side start-up line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "render/font.h"
#include "render/markup_tag.h"

namespace appsrv::render {

class TSvForm;
class TSvPageContext40;

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

struct TAnchors {
  bool Left = true;
  bool Top = true;
  bool Right = false;
  bool Bottom = false;
};

struct TSvStyleRenderOptions {
  bool RenderSize = true;
  bool RenderPosition = true;
  bool RenderFont = true;
  bool RenderZIndex = true;
  bool RenderVisibility = true;
  bool RenderStatus = true;
  bool RenderAbsolute = true;
  bool RenderPadding = true;
  bool RenderBorder = true;
  bool UseDisplay = false;
};

class TSvControl {
 public:
  explicit TSvControl(std::string name) : Name(std::move(name)) {}
  virtual ~TSvControl() = default;
  TSvControl(const TSvControl&) = delete;
  TSvControl& operator=(const TSvControl&) = delete;

  // The control's element; the layout adds class, style and id (see TSvLayoutMgrForm).
  virtual std::unique_ptr<TSvHTMLTag> RenderHTML(TSvPageContext40& context) = 0;
  // The CSS declarations of the control's style rule.
  virtual std::string RenderStyle(const TSvPageContext40& context);
  // Controls that take input are named in the form and register hidden inputs.
  virtual bool TakesInput() const { return false; }
  // Whether the client-side object carries a value back.
  virtual bool HasClientValue() const { return false; }
  virtual bool Clips() const { return false; }
  virtual bool AutoSized() const { return false; }
  // Adds the control's hidden inputs to the page context.
  virtual void RegisterHiddenInputs(TSvPageContext40& /*context*/) {}

  // The control's name upper-cased (forms give no name prefix to their controls).
  std::string HTMLName() const;
  std::string CssClassName() const;
  // "  SV.initSVCL(<parent>,\"<HTML name>\",<value>);" + CR LF, followed by alignment and
  // anchors when they are not the defaults.
  std::string StartupLine() const;

  std::string Name;
  TSvForm* Parent = nullptr;  // the container; set when the form adopts the control
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 121;
  int32_t Height = 21;
  int32_t ZIndex = 0;
  bool Visible = true;
  bool ShowHint = false;
  std::string Hint;
  std::string Css;
  std::string Cursor;
  std::string FriendlyName;
  TColor Color = clNone;  // background
  TAlign Align = TAlign::alNone;
  TAnchors Anchors;
  TSvFont Font;
  TSvStyleRenderOptions StyleRenderOptions;
  // The control's own render-size flag (a label keeps it as the negation of AutoSize).
  bool RenderSize = true;
};

}  // namespace appsrv::render
