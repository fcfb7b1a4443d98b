// A session's forms: which are shown, which is active, the browser window size, the execute
// URL, and what a form request does to the active form. Also the pipeline's door to them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/name_value_list.h"
#include "server/pipeline/session_forms.h"
#include "server/session/session.h"

namespace appsrv::server {
class THttpReply;
}

namespace appsrv::render {

class TSvForm;

// Kept in the session's FFormsState slot and guarded by the session lock, like the session.
class TSvSessionFormState : public server::SessionExtension {
 public:
  explicit TSvSessionFormState(server::TSvApplication& session);
  ~TSvSessionFormState() override;

  // Takes ownership of a form made for this session.
  TSvForm& Adopt(std::unique_ptr<TSvForm> form);
  // The last shown form, or null.
  TSvForm* GetActiveForm() const;
  // Appends the form unless it is already the last one (clearing the mapped URL and firing
  // its show event then) and gives it the window size when known.
  void SetActiveForm(TSvForm& form);
  // Takes the form out of the shown forms; the one below becomes active.
  void RemoveForm(TSvForm& form);
  // Frees the form after the current execution; listed once.
  void ReleaseForm(TSvForm& form);
  // The mapped URL, or the session's internal URL base.
  std::string GetExecAction() const;

  // A form request: executes the parameters against the active form, then renders it unless
  // the reply already sends a file.
  void ProcessForm(server::THttpReply& reply, base::NameValueList& params);
  void ExecuteActiveForm(base::NameValueList& params, const server::THttpReply& reply);
  void GenerateActiveForm(server::THttpReply& reply);

  // The browser window size; known once set.
  void SetFormSize(int32_t width, int32_t height);
  bool FormSizeKnown() const { return int64_t{FFormWidth} * FFormHeight != 1; }
  // Clears the per-request flags and the mapped URL.
  void BeginRequest();

  std::vector<TSvForm*> FActiveForms;    // shown forms; the last is active
  std::vector<TSvForm*> FReleasedForms;  // freed after the current execution
  int32_t FFormHeight = -1;
  int32_t FFormWidth = -1;
  std::string FFormAction;
  std::string FMappedURL;
  bool FIsCallBack = false;
  bool mIsRedirect = false;
  bool mSkipExecuteForm = false;
  bool mSkipGenerateForm = false;
  // Start-up code for the next rendered page only.
  std::string PendingStartupCode;

 private:
  void FreeReleasedForms();
  void CheckConnectionMode(const TSvForm& form) const;
  bool SecureRequest() const;

  server::TSvApplication& session_;
  std::vector<std::unique_ptr<TSvForm>> owned_;
};

// The session's form state, made on first use.
TSvSessionFormState& FormsOf(server::TSvApplication& session);
// The session's pending start-up code, which a page consumes once.
std::string TakePendingStartupCode(server::TSvApplication& session);

// Application hooks around form rendering; set before the server starts, read-only after.
struct TSvFormEvents {
  // May supply the main form of a session (the session keeps it).
  std::function<void(server::TSvApplication&, TSvForm*& form)> OnGetMainForm;
  // May supply a replacement form to render instead.
  std::function<void(server::TSvApplication&, TSvForm& form, TSvForm*& replacement)> OnBeforeRender;
  std::function<void(server::TSvApplication&, TSvForm& form)> OnAfterRender;
};
TSvFormEvents& FormEvents();

// What the request pipeline calls for "/$/", "/$/call", "/$/resize" and the other form paths.
class TSvSessionFormsService : public server::SessionForms {
 public:
  void Render(server::FormRequest& r) override;
  void Callback(server::FormRequest& r) override;
  void Resize(server::FormRequest& r, int width, int height) override;
  std::optional<std::string> Upload(server::FormRequest& r) override;
  std::optional<bool> RequestAuth(server::TSvApplication& session, server::THttpRequest& request,
                                  std::string& group) override;
  void SetFormSize(server::TSvApplication& session, int width, int height) override;
};

// Makes the pipeline render session forms; start-up calls it once, before serving.
void InstallPageRendering();
void UninstallPageRendering();

}  // namespace appsrv::render
