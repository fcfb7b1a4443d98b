// What a form collects while it renders: head content, script files, start-up code, style
// rules, hidden inputs and the client-side object lines. Lives for one render.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "render/markup_tag.h"

namespace appsrv::server {
class TBrowser;
class TSvApplication;
class TSvServerControllerBase;
}  // namespace appsrv::server

namespace appsrv::render {

class TSvForm;

class TSvPageContext40 {
 public:
  // `session` may be null (a form rendered outside a request); the internal files then live
  // under "/$/".
  TSvPageContext40(server::TSvApplication* session, TSvForm* form, std::string doc_type);

  // The HTML5 document type, also when written in another case or left empty.
  bool IsHTML5() const;
  bool IsCallBack() const { return false; }  // partial updates are not rendered by this page

  // Each appends the code and CR LF; an empty code adds nothing.
  void AddToInitProc(std::string_view code);
  void AddToInitProcPageUnlock(std::string_view code);
  void AddToInitProcFocus(std::string_view code);
  void AddToInitProcNewWindow(std::string_view code);
  void AddToInitProcDoLast(std::string_view code);
  // Appends the code and CR LF, unless it is longer than two characters and ends in CR LF.
  void AddToJavaScriptOnce(std::string_view code);
  void AddToOnReady(std::string_view code) { FOnReadyProc += code; }
  void AddSVCLInitLine(std::string_view line) { FSVCLInitProc += line; }
  // Each name once.
  void AddScriptFile(std::string_view name);
  void AddPreScriptFile(std::string_view name);
  void AddLinkFile(std::string_view name);
  void AddStyle(std::string rule) { FStyleTag.AddText(std::move(rule)); }
  void AddValidation(std::string condition, std::string message);
  // A hidden input without value in the form element, once per name.
  void AppendHiddenInput(std::string_view name);

  // The start-up statements: init proc, the session's pending start-up code (consumed), then
  // the page-unlock, focus, new-window and do-last buckets.
  std::string InitProcCode();
  std::string OnReadyCode() const;
  // A script element for a library file, and a stylesheet link.
  std::string ScriptFileTag(std::string_view name) const;
  std::string LinkFileTag(std::string_view name) const;
  // "/js/x.js" -> internal URL base + "js/x__<start stamp>.js".
  std::string InternalFileURL(std::string_view name) const;
  // A name holding "://" as it is, else under the application URL base.
  std::string ExternalFileURL(std::string_view name) const;
  // The URL prefix of the framework's internal files.
  std::string InternalUrlBase() const;
  // Adds the validation function to the script text.
  void Finalize();

  server::TSvApplication* FWebApplication;
  // Moved into the body when the layout writes the document.
  std::unique_ptr<TSvHTMLTag> FFormTag = std::make_unique<TSvHTMLTag>("form");
  TSvHTMLTag FBodyTag{"body"};
  std::string FURLBase;
  std::string FTitle;
  const server::TBrowser* FBrowser = nullptr;
  std::vector<std::string> FFormHiddenInput;
  std::vector<std::string> FExtraHeader;
  std::vector<std::string> FPreHeader;
  TSvForm* FParentForm;
  std::string FOnReadyProc;
  std::string FInitProc;
  std::string FInitProcFocusCode;
  std::string FInitProcNewWindowCode;
  std::string FInitProcPageUnlockCode;
  std::string FInitProcDoLastCode;
  std::string FSVCLInitProc;
  std::vector<std::string> FScriptFiles;
  std::vector<std::string> FPreScriptFiles;
  std::vector<std::string> FLinkFiles;
  std::string FJavaScript;
  std::vector<std::string> FValidation;
  std::vector<std::string> FValidationMsg;
  TSvHTMLTag FStyleTag{"style"};
  // The controls' elements, in order, written into the body after its leading children.
  std::vector<std::unique_ptr<TSvMarkupLanguageElement>> FBodyElements;
  bool FServerResize = false;
  std::string FDocType;
  // Head text assembled by the form for the layout (pre-head and head content).
  std::string PreHeadContent;
  std::string HeadContent;

 private:
  const server::TSvServerControllerBase* controller() const;
};

// Lines joined as a text list writes them: each followed by CR LF.
std::string ListText(const std::vector<std::string>& lines);

}  // namespace appsrv::render
