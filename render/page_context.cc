#include "render/page_context.h"

#include <algorithm>

#include "base/html_encode.h"
#include "base/text.h"
#include "render/session_forms.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"

namespace appsrv::render {

namespace {

void append_line(std::string& bucket, std::string_view code) {
  if (!code.empty()) {
    bucket += code;
    bucket += "\r\n";
  }
}

void add_once(std::vector<std::string>& list, std::string_view name) {
  if (std::find(list.begin(), list.end(), name) == list.end()) {
    list.emplace_back(name);
  }
}

}  // namespace

std::string ListText(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

TSvPageContext40::TSvPageContext40(server::TSvApplication* session, TSvForm* form,
                                   std::string doc_type)
    : FWebApplication(session), FParentForm(form), FDocType(std::move(doc_type)) {
  FStyleTag.AddStringParam("type", "text/css");
  FStyleTag.AddText("\r\n");
  if (session != nullptr) {
    FBrowser = session->mBrowser.get();
    FURLBase = session->mAppUrlBase;
  }
}

bool TSvPageContext40::IsHTML5() const {
  return FDocType.empty() || base::iequals(FDocType, "<!DOCTYPE HTML>");
}

void TSvPageContext40::AddToInitProc(std::string_view code) { append_line(FInitProc, code); }
void TSvPageContext40::AddToInitProcPageUnlock(std::string_view code) {
  append_line(FInitProcPageUnlockCode, code);
}
void TSvPageContext40::AddToInitProcFocus(std::string_view code) {
  append_line(FInitProcFocusCode, code);
}
void TSvPageContext40::AddToInitProcNewWindow(std::string_view code) {
  append_line(FInitProcNewWindowCode, code);
}
void TSvPageContext40::AddToInitProcDoLast(std::string_view code) {
  append_line(FInitProcDoLastCode, code);
}

void TSvPageContext40::AddToJavaScriptOnce(std::string_view code) {
  FJavaScript += code;
  if (!(code.size() > 2 && base::ends_with(code, "\r\n"))) {
    FJavaScript += "\r\n";
  }
}

void TSvPageContext40::AddScriptFile(std::string_view name) { add_once(FScriptFiles, name); }
void TSvPageContext40::AddPreScriptFile(std::string_view name) { add_once(FPreScriptFiles, name); }
void TSvPageContext40::AddLinkFile(std::string_view name) { add_once(FLinkFiles, name); }

void TSvPageContext40::AddValidation(std::string condition, std::string message) {
  FValidation.push_back(std::move(condition));
  FValidationMsg.push_back(std::move(message));
}

void TSvPageContext40::AppendHiddenInput(std::string_view name) {
  if (std::find(FFormHiddenInput.begin(), FFormHiddenInput.end(), name) != FFormHiddenInput.end()) {
    return;
  }
  FFormHiddenInput.emplace_back(name);
  FFormTag->AddHiddenField(name, "");
}

std::string TSvPageContext40::InitProcCode() {
  std::string code = FInitProc;
  if (FWebApplication != nullptr) {
    code += TakePendingStartupCode(*FWebApplication);
  }
  code += FInitProcPageUnlockCode;
  code += FInitProcFocusCode;
  code += FInitProcNewWindowCode;
  code += FInitProcDoLastCode;
  return code;
}

std::string TSvPageContext40::OnReadyCode() const {
  if (FOnReadyProc.empty()) {
    return {};
  }
  return "$(document).ready(function(){" + FOnReadyProc + "});";
}

const server::TSvServerControllerBase* TSvPageContext40::controller() const {
  if (FWebApplication != nullptr) {
    return &FWebApplication->controller();
  }
  return server::ServerController();
}

std::string TSvPageContext40::InternalUrlBase() const {
  return FWebApplication != nullptr ? FWebApplication->mInternalUrlBase : std::string("/$/");
}

std::string TSvPageContext40::InternalFileURL(std::string_view name) const {
  std::string path(name);
  if (!path.empty() && path.front() == '/') {
    path.erase(0, 1);
  }
  if (base::iends_with(path, ".js")) {
    const server::TSvServerControllerBase* c = controller();
    const std::string stamp = c != nullptr ? c->mStartUID() : std::string();
    path.insert(path.size() - 3, "__" + stamp);
  }
  return InternalUrlBase() + path;
}

std::string TSvPageContext40::ExternalFileURL(std::string_view name) const {
  if (name.find("://") != std::string_view::npos) {
    return std::string(name);
  }
  std::string path(name);
  if (!path.empty() && path.front() == '/') {
    path.erase(0, 1);
  }
  return (FURLBase.empty() ? std::string("/") : FURLBase) + path;
}

std::string TSvPageContext40::ScriptFileTag(std::string_view name) const {
  TSvHTMLTag tag("script");
  tag.AddStringParam("type", "text/javascript");
  tag.AddStringParam(
      "src", base::istarts_with(name, "/js/") ? InternalFileURL(name) : ExternalFileURL(name));
  return tag.Rendered() + "\r\n";
}

std::string TSvPageContext40::LinkFileTag(std::string_view name) const {
  TSvHTMLTag tag("link");
  tag.AddStringParam("href", ExternalFileURL(name));
  tag.AddStringParam("rel", "stylesheet");
  tag.AddStringParam("type", "text/css");
  tag.SetClosingTag(TClosingTag::cbSimpleClose);
  return tag.Rendered() + "\r\n";
}

void TSvPageContext40::Finalize() {
  std::string text = "function Validate() {\r\n";
  for (size_t i = 0; i < FValidation.size(); ++i) {
    text += "  if(" + FValidation[i] + ") {\r\n";
    text += "    ReleaseLock();\r\n";
    text += "    window.alert(\"" + base::js_string_body(FValidationMsg[i]) + "\");\r\n";
    text += "    return false;\r\n";
    text += "  }\r\n";
  }
  text += "  return true;\r\n}\r\n";
  AddToJavaScriptOnce(text);
}

}  // namespace appsrv::render
