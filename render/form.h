// A form: its controls, its page settings, and how it executes a request's parameters and
// renders itself into one HTML document.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/name_value_list.h"
#include "render/control.h"
#include "render/layout_mgr.h"
#include "render/page_context.h"

namespace appsrv::server {
class TSvApplication;
}

namespace appsrv::render {

enum class TSvFormState { fsIdle, fsRendering, fsExecuting };

struct TSvBackground {
  std::string Location;
  bool Fixed = false;
};

class TSvForm {
 public:
  // `session` owns the form (through its form state) and may be null in tests.
  TSvForm(server::TSvApplication* session, std::string name);
  virtual ~TSvForm();
  TSvForm(const TSvForm&) = delete;
  TSvForm& operator=(const TSvForm&) = delete;

  virtual std::string ClassName() const { return "TSvForm"; }

  server::TSvApplication* Session() const { return session_; }
  // Adopts a control; controls render in the order they were added.
  template <class T>
  T& AddControl(std::unique_ptr<T> control) {
    T& ref = *control;
    ref.Parent = this;
    controls_.push_back(std::move(control));
    return ref;
  }
  const std::vector<std::unique_ptr<TSvControl>>& Controls() const { return controls_; }

  void SetBounds(int32_t left, int32_t top, int32_t width, int32_t height);
  // Makes the form its session's active form and restarts its execution count.
  void Show();
  // Runs the submitted parameters (held in FParams) against the form.
  void ExecuteForm();
  // Renders the whole page into `out` (UTF-8, no byte order mark).
  void GenerateForm(std::string& out);

  const std::string& DocType() const { return doc_type_; }
  // Throws unless empty or "<!DOCTYPE" ... ">".
  void SetDocType(std::string_view v);
  TSvFormState State() const { return state_; }
  bool HasDefaultAction() const { return false; }
  // The layout that writes the document; made on first use.
  TSvLayoutMgr& LayoutMgr();

  std::string Name;
  std::string Title;
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  bool LockUntilLoaded = true;
  bool LockOnSubmit = true;
  bool ShowHint = true;
  bool XPTheme = true;
  bool LeftToRight = true;
  bool HandleTabs = true;
  bool RenderInvisibleControls = false;
  bool KeepAlive = false;
  bool PreventBackButton = false;
  bool AllowPageAccess = true;
  TSvBackground Background;
  TColor Color = clNone;
  TColor TextColor = clNone;
  TColor LinkColor = clNone;
  TColor VLinkColor = clNone;
  std::string StyleSheet;
  std::vector<std::string> PreHeader;
  std::vector<std::string> ExtraHeader;
  std::vector<std::string> JavaScript;
  std::vector<std::string> HiddenFields;  // name=value
  std::vector<std::string> ContentFiles;
  std::string FormAction;
  // Script text for the next full render only.
  std::string JavaScriptOnce;
  // Made only when the controller checks form ids.
  std::string FormId;
  std::function<bool(const std::string& submitted)> OnCheckFormId;
  std::function<void(TSvForm&)> OnShow;

  base::NameValueList FParams;
  uint32_t FExecCount = 0;

 protected:
  // Application forms take their action URL from the session here.
  virtual void BeforeRender() {}

 private:
  void AddStartupCode(TSvPageContext40& ctx);
  void AddFormElement(TSvPageContext40& ctx);
  void AddHeadText(TSvPageContext40& ctx);
  void AddBody(TSvPageContext40& ctx);
  void AddPageScript(TSvPageContext40& ctx);

  server::TSvApplication* session_;
  std::vector<std::unique_ptr<TSvControl>> controls_;
  std::unique_ptr<TSvPageContext40> FPageContext;
  std::unique_ptr<TSvLayoutMgr> layout_;
  std::string doc_type_;
  TSvFormState state_ = TSvFormState::fsIdle;
};

}  // namespace appsrv::render
