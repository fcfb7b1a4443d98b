#include "render/form.h"

#include "base/exception.h"
#include "base/html_encode.h"
#include "base/random.h"
#include "base/text.h"
#include "render/html_text.h"
#include "render/session_forms.h"
#include "server/pipeline/server_exceptions.h"
#include "server/session/browser.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"

namespace appsrv::render {

namespace {

constexpr std::string_view kGeneratorVersion = "14.0.39";
constexpr std::string_view kDefaultViewport =
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
constexpr std::string_view kDefaultBackWarning =
    "Please use the page's own navigation instead of the browser's Back button.";

const server::TSvServerControllerBase* controller_of(const server::TSvApplication* session) {
  return session != nullptr ? &session->controller() : server::ServerController();
}

// Restores the form's state however rendering or execution ends.
class StateScope {
 public:
  StateScope(TSvFormState& state, TSvFormState during) : state_(state), saved_(state) {
    state_ = during;
  }
  ~StateScope() { state_ = saved_; }
  StateScope(const StateScope&) = delete;
  StateScope& operator=(const StateScope&) = delete;

 private:
  TSvFormState& state_;
  TSvFormState saved_;
};

}  // namespace

TSvForm::TSvForm(server::TSvApplication* session, std::string name)
    : Name(std::move(name)), session_(session) {
  const server::TSvServerControllerBase* controller = controller_of(session);
  if (controller != nullptr) {
    StyleSheet = controller->Render.StyleSheet;
    if (controller->SecurityOptions().CheckFormId) {
      // Unguessable, so that a page cannot be submitted by someone who was not shown it; hex
      // digits pass the hidden field's encoding unchanged.
      FormId = base::random_hex(16);
    }
  }
}

TSvForm::~TSvForm() = default;

void TSvForm::SetBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
  Left = left;
  Top = top;
  Width = width;
  Height = height;
}

void TSvForm::SetDocType(std::string_view v) {
  if (!v.empty()) {
    if (!base::istarts_with(v, "<!DOCTYPE")) {
      throw base::Exception(
          "Invalid value for DocType property: DocType must start with \"<!DOCTYPE\"");
    }
    if (v.back() != '>') {
      throw base::Exception("Invalid value for DocType property: DocType must end with \">\"");
    }
  }
  doc_type_ = v;
}

TSvLayoutMgr& TSvForm::LayoutMgr() {
  if (!layout_) {
    layout_ = std::make_unique<TSvLayoutMgrForm>();
  }
  return *layout_;
}

void TSvForm::Show() {
  if (session_ != nullptr) {
    FormsOf(*session_).SetActiveForm(*this);
  }
  FExecCount = 0;
}

void TSvForm::ExecuteForm() {
  ++FExecCount;
  StateScope executing(state_, TSvFormState::fsExecuting);
  FPageContext.reset();
  const server::TSvServerControllerBase* controller = controller_of(session_);
  if (controller != nullptr && controller->SecurityOptions().CheckFormId && FExecCount > 1) {
    const std::string submitted = FParams.value("SV_FormID_");
    const bool accepted = OnCheckFormId ? OnCheckFormId(submitted) : submitted == FormId;
    if (!accepted) {
      throw server::ESvSecurityException("Invalid form Id");
    }
  }
  const auto take = [this](std::string_view name) {
    std::string value;
    if (const auto at = FParams.index_of_name(name)) {
      value = FParams.value_at(*at);
      FParams.erase(*at);
    }
    return value;
  };
  // The submitted action and its parameter are for the control that raised them.
  take("SV_Action");
  take("SV_ActionParam");
  if (FParams.contains("SV_width") && FParams.contains("SV_height")) {
    // A size that is not a whole non-negative number is ignored: the form keeps its own.
    const int width = server::WindowSize(take("SV_width")).value_or(Width);
    const int height = server::WindowSize(take("SV_height")).value_or(Height);
    SetBounds(0, 0, width, height);
    if (session_ != nullptr) {
      FormsOf(*session_).SetFormSize(width, height);
    }
  }
  // Actions and callbacks would now go to the control that raised them, or to the form's
  // default action; the controls of these pages raise none and the forms have no default
  // action, so execution ends here.
}

void TSvForm::GenerateForm(std::string& out) {
  StateScope rendering(state_, TSvFormState::fsRendering);
  BeforeRender();
  const server::TSvServerControllerBase* controller = controller_of(session_);
  if (!FPageContext) {
    std::string doc = doc_type_;
    if (doc.empty() && controller != nullptr) {
      doc = controller->Render.DocType;
    }
    if (doc.empty()) {
      doc = "<!DOCTYPE HTML>";
    }
    FPageContext = std::make_unique<TSvPageContext40>(session_, this, std::move(doc));
  }
  TSvPageContext40& ctx = *FPageContext;
  ctx.FTitle = HTMLEncode(Title, true, false);

  AddStartupCode(ctx);
  LayoutMgr().RenderControls(*this, ctx);
  ctx.AddToInitProc("Body_OnResize();");
  ctx.AddToInitProc("window.onresize = Body_OnResize;");
  ctx.AddToInitProc("document.body.onblur = Body_OnBlur;");

  std::vector<std::string> content_files;
  if (controller != nullptr) {
    content_files = controller->Render.ContentFiles;
  }
  content_files.insert(content_files.end(), ContentFiles.begin(), ContentFiles.end());
  for (const std::string& file : content_files) {
    base::iends_with(file, ".css") ? ctx.AddLinkFile(file) : ctx.AddScriptFile(file);
  }

  AddFormElement(ctx);
  AddHeadText(ctx);
  AddBody(ctx);
  AddPageScript(ctx);
  ctx.Finalize();
  try {
    LayoutMgr().Process(*this, ctx, out);
  } catch (...) {
    FPageContext.reset();
    throw;
  }
  FPageContext.reset();
}

void TSvForm::AddStartupCode(TSvPageContext40& ctx) {
  const server::TSvServerControllerBase* controller = controller_of(session_);
  if (LockUntilLoaded) {
    ctx.AddToInitProcPageUnlock("ReleaseLock();");
  }
  ctx.AddToInitProc(std::string("GActivateLock = ") + (LockOnSubmit ? "true" : "false") + ";");
  ctx.AddToInitProc("InitRects(" + std::to_string(Width) + ", " + std::to_string(Height) + ");");
  ctx.AddToInitProc("InitSVCLObjects();");
  if (KeepAlive && controller != nullptr) {
    const int64_t interval = int64_t{controller->SessionTimeout()} * 60000 / 4;
    ctx.AddToInitProc("SV.Session.initKeepAlive(" + std::to_string(interval) + ");");
  }
  ctx.AddToInitProc("AttachBeforeUnload();");
  const server::BackButtonSettings back =
      controller != nullptr ? controller->BackButtonOptions : server::BackButtonSettings{};
  if (back.Mode == server::BackButtonPolicy::bmInterceptGlobal ||
      (back.Mode == server::BackButtonPolicy::bmInterceptForm && PreventBackButton)) {
    ctx.AddPreScriptFile("/js/SVBackIntercept.js");
    const std::string message =
        back.WarningMessage.empty() ? std::string(kDefaultBackWarning) : back.WarningMessage;
    ctx.AddToJavaScriptOnce(std::string("SVBackIntercept.Init(false,") +
                            (back.ShowMessage ? "true" : "false") + ", \"" +
                            base::js_string_body(message) + "\", \"" +
                            base::js_string_body(ctx.InternalUrlBase()) + "\");");
  } else if (back.Mode == server::BackButtonPolicy::bmDisableCompat) {
    ctx.AddToInitProc("history.go(1);");
  }
}

void TSvForm::AddFormElement(TSvPageContext40& ctx) {
  TSvHTMLTag& form = *ctx.FFormTag;
  form.AddStringParam("method", "POST");
  form.AddStringParam("name", "SubmitForm");
  form.AddStringParam("action", FormAction);
  for (const std::string& line : HiddenFields) {
    const size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    TSvMarkupLanguageTag& input = form.AddHiddenField(name, HTMLLiteral(value));
    input.AddStringParam("id", "HIDDEN_" + name);
    input.AddIntegerParam("size", -1);
  }
  form.AddHiddenField("SV_FormName", HTMLLiteral(Name));
  form.AddHiddenField("SV_FormClass", HTMLLiteral(ClassName()));
  if (!FormId.empty()) {
    form.AddHiddenField("SV_FormID_", HTMLLiteral(FormId));
  }
}

void TSvForm::AddHeadText(TSvPageContext40& ctx) {
  const server::TSvServerControllerBase* controller = controller_of(session_);
  std::string head = "<meta Name=\"GENERATOR\" content=\"Corvane v" +
                     std::string(kGeneratorVersion) + "\">" + "\r\n";
  if (ctx.FBrowser != nullptr && ctx.FBrowser->mIsMobile) {
    const std::string viewport =
        controller != nullptr && !controller->MobileOptions.ViewportTag.empty()
            ? controller->MobileOptions.ViewportTag
            : std::string(kDefaultViewport);
    head += "\r\n" + viewport;
  }
  if (controller != nullptr) {
    head += ListText(controller->Render.HTMLHeaders);
  }
  if (!ctx.IsHTML5()) {
    head += std::string("<meta http-equiv=\"MSThemeCompatible\" Content=\"") +
            (XPTheme ? "yes" : "no") + "\">" + "\r\n";
    if (controller == nullptr || !controller->Render.EnableImageToolbar) {
      head += "\r\n<meta http-equiv=\"imagetoolbar\" content=\"no\">";
    }
    head += "\r\n<meta http-equiv=\"Expires\" content=\"-1\">";
  }
  if (!StyleSheet.empty()) {
    head += "\r\n<link rel=\"stylesheet\" type=\"text/css\" href=\"" +
            ctx.ExternalFileURL(StyleSheet) + "\">\r\n";
  }
  ctx.PreHeadContent = head + "\r\n" + ListText(PreHeader) + "\r\n" + ListText(ctx.FPreHeader);
  std::string script_files;
  for (const std::string& file : ctx.FScriptFiles) {
    script_files += ctx.ScriptFileTag(file);
  }
  ctx.HeadContent =
      script_files + "\r\n" + ListText(ExtraHeader) + "\r\n" + ListText(ctx.FExtraHeader) + "\r\n";
}

void TSvForm::AddBody(TSvPageContext40& ctx) {
  const server::TSvServerControllerBase* controller = controller_of(session_);
  TSvHTMLTag& body = ctx.FBodyTag;
  if (LockUntilLoaded || LockOnSubmit) {
    const bool animate = controller == nullptr || controller->Render.ShowLoadingAnimation;
    const std::string image = animate ? ctx.InternalUrlBase() + "gfx/loading.gif" : "";
    TSvMarkupLanguageTag& script = body.AddTag("script");
    script.AddStringParam("type", "text/javascript");
    script.AddText("createSVLocker(\"" + base::js_string_body(image) + "\");" +
                   (LockUntilLoaded ? "ActivateLock();" : ""));
  }
  if (!LeftToRight) {
    body.AddStringParam("dir", "RTL");
  }
  body.AddStringParam("background", Background.Location);
  if (Background.Fixed) {
    body.AddStringParam("bgproperties", "fixed");
  }
  body.AddColorParam("text", TextColor);
  body.AddColorParam("link", LinkColor);
  body.AddColorParam("vlink", VLinkColor);
  std::string style = "margin: 0;";
  if (Color != clNone) {
    style += "background-color: " + ColorText(Color) + ";";
  }
  body.AddStringParam("style", style);
  body.AddStringParam("onload", "Initialize()");
  body.AddStringParam("onunload", "ReleaseSVCL()");
  // This page has no progress indicator: the script variables say so.
  body.AddText("<script type=\"text/javascript\">");
  body.AddText("var PreScript=false; PostScript=false;");
  body.AddText("var PreAsyncScript=false; PostAsyncScript=false;");
  body.AddText("</script>");
}

void TSvForm::AddPageScript(TSvPageContext40& ctx) {
  const server::TSvServerControllerBase* controller = controller_of(session_);
  ctx.AddToInitProc("SV.Utils.fixIEMargins();");
  ctx.AddToJavaScriptOnce("function Body_OnBlur(){GSubmitting = false;}");
  ctx.AddToJavaScriptOnce("function FormDefaultSubmit()\r\n{return false;}");
  const int32_t resize = controller != nullptr ? controller->Render.ServerResizeTimeout : 0;
  ctx.AddToJavaScriptOnce("var GOnResizetimeout=" + std::to_string(resize > 0 ? resize : 1000) +
                          ";");
  const std::string session_internal =
      session_ != nullptr ? session_->mSessionInternalUrlBase : ctx.InternalUrlBase();
  const std::string app_id = session_ != nullptr ? session_->FAppID : std::string();
  const uint32_t track_id = session_ != nullptr ? session_->FTrackID : 0;
  ctx.AddToJavaScriptOnce(
      std::string("SV.implicitSubmit = ") + (HasDefaultAction() ? "true" : "false") + ";" + "\r\n" +
      "var GURLBase=\"" + base::js_string_body(session_internal) + "\";" + "\r\n" +
      "var GAppID=\"" + base::js_string_body(app_id) + "\";" +
      "\r\n" + "var GTrackID=" + std::to_string(track_id) + ";" + "\r\n");
  ctx.AddToJavaScriptOnce("function SVTop(){return window;}");
  ctx.AddToJavaScriptOnce(ListText(JavaScript));
  ctx.AddToJavaScriptOnce(JavaScriptOnce);
  JavaScriptOnce.clear();
}

}  // namespace appsrv::render
