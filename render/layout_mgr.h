// The layout step: turns each control into its element, style rule and start-up line, and
// writes the whole document in its fixed order.
#pragma once

#include <string>

namespace appsrv::render {

class TSvControl;
class TSvForm;
class TSvPageContext40;

class TSvLayoutMgr {
 public:
  virtual ~TSvLayoutMgr() = default;
  virtual std::string ClassName() const { return "TSvLayoutMgr"; }
  // Renders the form's controls into the page context.
  virtual void RenderControls(TSvForm& form, TSvPageContext40& ctx);
  // Writes the document; a layout that cannot throws "<class>: Method Process is not
  // implemented in this class".
  virtual void Process(TSvForm& form, TSvPageContext40& ctx, std::string& out);
};

class TSvLayoutMgrForm : public TSvLayoutMgr {
 public:
  std::string ClassName() const override { return "TSvLayoutMgrForm"; }
  void Process(TSvForm& form, TSvPageContext40& ctx, std::string& out) override;
};

// One control's element, style rule or style attribute, id, hidden inputs and start-up line;
// the element goes into the body after the elements already there.
void RenderControl(TSvControl& control, TSvPageContext40& ctx);

}  // namespace appsrv::render
