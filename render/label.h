// The label control: a caption in a span (or a label element bound to another control).
#pragma once

#include <string>

#include "render/control.h"

namespace appsrv::render {

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TSvLabel : public TSvControl {
 public:
  explicit TSvLabel(std::string name) : TSvControl(std::move(name)) { SetAutoSize(true); }

  std::unique_ptr<TSvHTMLTag> RenderHTML(TSvPageContext40& context) override;
  // The size goes into the style only when AutoSize is off and RenderSize is on.
  std::string RenderStyle(const TSvPageContext40& context) override;
  bool AutoSized() const override { return auto_size_; }

  bool AutoSize() const { return auto_size_; }
  // Also sets the control's render-size flag to the negation.
  void SetAutoSize(bool v) {
    auto_size_ = v;
    RenderSize = !v;
  }

  std::string Caption;
  TAlignment FAlignment = TAlignment::taLeftJustify;
  bool FRawText = false;
  bool FNoWrap = false;
  bool FConvertSpaces = false;
  const TSvControl* FForControl = nullptr;  // not owned; lives on the same form
  bool FHasTaborder = false;

 private:
  bool auto_size_ = true;
};

}  // namespace appsrv::render
