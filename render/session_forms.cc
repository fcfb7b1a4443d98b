#include "render/session_forms.h"

#include <algorithm>

#include "base/text.h"
#include "render/app_form.h"
#include "render/form.h"
#include "server/exchange/render_stream.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/server_exceptions.h"

namespace appsrv::render {

namespace {

TSvSessionFormsService& service() {
  static TSvSessionFormsService instance;
  return instance;
}

bool reply_has_content(const server::THttpReply& reply) {
  return reply.HasBody() || reply.DataType() != server::rtNone;
}

}  // namespace

TSvSessionFormState::TSvSessionFormState(server::TSvApplication& session) : session_(session) {}

TSvSessionFormState::~TSvSessionFormState() {
  // Forms point at each other through the lists only; drop those before freeing them.
  FActiveForms.clear();
  FReleasedForms.clear();
  owned_.clear();
}

TSvForm& TSvSessionFormState::Adopt(std::unique_ptr<TSvForm> form) {
  owned_.push_back(std::move(form));
  return *owned_.back();
}

TSvForm* TSvSessionFormState::GetActiveForm() const {
  return FActiveForms.empty() ? nullptr : FActiveForms.back();
}

void TSvSessionFormState::SetActiveForm(TSvForm& form) {
  mSkipGenerateForm = false;
  if (GetActiveForm() != &form) {
    FActiveForms.push_back(&form);
    FMappedURL.clear();
    if (form.OnShow) {
      form.OnShow(form);
    }
  }
  if (FormSizeKnown()) {
    form.SetBounds(0, 0, FFormWidth, FFormHeight);
  }
}

void TSvSessionFormState::RemoveForm(TSvForm& form) {
  const bool was_active = GetActiveForm() == &form;
  std::erase(FActiveForms, &form);
  if (was_active) {
    FMappedURL.clear();
    if (TSvForm* next = GetActiveForm(); next != nullptr && next->OnShow) {
      next->OnShow(*next);
    }
  }
}

void TSvSessionFormState::ReleaseForm(TSvForm& form) {
  if (std::find(FReleasedForms.begin(), FReleasedForms.end(), &form) == FReleasedForms.end()) {
    FReleasedForms.push_back(&form);
  }
}

std::string TSvSessionFormState::GetExecAction() const {
  return FMappedURL.empty() ? session_.mInternalUrlBase : FMappedURL;
}

void TSvSessionFormState::SetFormSize(int32_t width, int32_t height) {
  FFormWidth = width;
  FFormHeight = height;
}

void TSvSessionFormState::BeginRequest() {
  FIsCallBack = false;
  mIsRedirect = false;
  mSkipExecuteForm = false;
  mSkipGenerateForm = false;
  FMappedURL.clear();
}

void TSvSessionFormState::FreeReleasedForms() {
  std::vector<TSvForm*> released;
  released.swap(FReleasedForms);
  for (TSvForm* form : released) {
    std::erase(FActiveForms, form);
    std::erase_if(owned_, [form](const std::unique_ptr<TSvForm>& f) { return f.get() == form; });
  }
}

bool TSvSessionFormState::SecureRequest() const {
  return session_.FRequest != nullptr && base::iequals(session_.FRequest->HttpsHeader(), "on");
}

void TSvSessionFormState::CheckConnectionMode(const TSvForm& form) const {
  const auto* app_form = dynamic_cast<const TSvAppForm*>(&form);
  const TConnectionMode mode =
      app_form != nullptr ? app_form->ConnectionMode : TConnectionMode::cmAny;
  switch (mode) {
    case TConnectionMode::cmAny:
      return;
    case TConnectionMode::cmSecure:
      if (!SecureRequest()) {
        throw server::ESvException("Secure mode is required for this form.");
      }
      return;
    case TConnectionMode::cmNonSecure:
      if (SecureRequest()) {
        throw server::ESvException("Non-Secure mode is required for this form.");
      }
      return;
  }
  throw server::ESvException("Unknown connection mode");
}

void TSvSessionFormState::ExecuteActiveForm(base::NameValueList& params,
                                            const server::THttpReply& reply) {
  mSkipGenerateForm = false;
  mIsRedirect = false;
  if (mSkipExecuteForm) {
    return;
  }
  // The session carrier of "/$/call" arrives as a bare query line; it is no form field.
  const std::string carrier = session_.FAppID + std::to_string(session_.FTrackID);
  const std::string call_carrier = session_.FAppID + "_" + server::TrackIDToText(session_.FTrackID);
  std::erase_if(params.lines(),
                [&](const std::string& line) { return line == carrier || line == call_carrier; });
  TSvForm* active = GetActiveForm();
  if (active != nullptr) {
    if (params.contains("SV_FormName") &&
        !base::iequals(params.value("SV_FormName"), active->Name)) {
      // A page of another form was submitted: nothing of it applies to this one.
      params.clear();
    }
    active->FParams = params;
    active->ExecuteForm();
  }
  FreeReleasedForms();
  if (session_.mTerminated || reply_has_content(reply) || mIsRedirect) {
    return;
  }
  active = GetActiveForm();
  if (active == nullptr) {
    session_.Terminate();
    return;
  }
  ++session_.FTrackID;
  FFormAction = GetExecAction();
  CheckConnectionMode(*active);
}

void TSvSessionFormState::GenerateActiveForm(server::THttpReply& reply) {
  if (mSkipGenerateForm || session_.SendRenderOverride(reply)) {
    return;
  }
  TSvForm* form = GetActiveForm();
  if (form == nullptr) {
    return;
  }
  if (FormEvents().OnBeforeRender) {
    TSvForm* replacement = nullptr;
    FormEvents().OnBeforeRender(session_, *form, replacement);
    if (replacement != nullptr && replacement != form) {
      replacement->Show();
      FFormAction = GetExecAction();
      form = replacement;
    }
  }
  std::string page;
  form->GenerateForm(page);
  auto stream = std::make_unique<server::TSvRenderStream>(true);
  stream->HsmStream().WriteBuffer(page.data(), static_cast<int64_t>(page.size()));
  reply.SendRenderStream(std::move(stream));
  if (FormEvents().OnAfterRender) {
    FormEvents().OnAfterRender(session_, *form);
  }
}

void TSvSessionFormState::ProcessForm(server::THttpReply& reply, base::NameValueList& params) {
  ExecuteActiveForm(params, reply);
  if (!reply.mSendingFile && reply.DataType() != server::rtFile) {
    GenerateActiveForm(reply);
  }
}

TSvSessionFormState& FormsOf(server::TSvApplication& session) {
  if (!session.FFormsState) {
    session.FFormsState = std::make_unique<TSvSessionFormState>(session);
  }
  return static_cast<TSvSessionFormState&>(*session.FFormsState);
}

std::string TakePendingStartupCode(server::TSvApplication& session) {
  std::string code;
  code.swap(FormsOf(session).PendingStartupCode);
  return code;
}

TSvFormEvents& FormEvents() {
  static TSvFormEvents events;
  return events;
}

void TSvSessionFormsService::Render(server::FormRequest& r) {
  TSvSessionFormState& state = FormsOf(r.session);
  state.BeginRequest();
  if (state.GetActiveForm() == nullptr) {
    TSvForm* form = nullptr;
    if (FormEvents().OnGetMainForm) {
      FormEvents().OnGetMainForm(r.session, form);
    }
    if (form == nullptr && MainFormClass()) {
      form = &state.Adopt(MainFormClass()(r.session));
    }
    if (form == nullptr) {
      throw server::ESvException("Application main form is not defined");
    }
    form->Show();
  }
  state.ProcessForm(r.reply, r.params);
}

void TSvSessionFormsService::Callback(server::FormRequest& r) {
  // No control on these pages registers a callback: send the browser back to the page.
  r.reply.WriteString(server::RedirectPageHtml(r.session.mSessionInternalUrlBase));
}

void TSvSessionFormsService::Resize(server::FormRequest& r, int width, int height) {
  if (width < 0 || height < 0) {
    return;
  }
  TSvSessionFormState& state = FormsOf(r.session);
  state.SetFormSize(width, height);
  if (TSvForm* form = state.GetActiveForm()) {
    form->SetBounds(0, 0, width, height);
  }
}

std::optional<std::string> TSvSessionFormsService::Upload(server::FormRequest& /*r*/) {
  return std::string("This page accepts no uploads.");
}

std::optional<bool> TSvSessionFormsService::RequestAuth(server::TSvApplication& session,
                                                        server::THttpRequest& /*request*/,
                                                        std::string& /*group*/) {
  if (FormsOf(session).GetActiveForm() == nullptr) {
    return std::nullopt;
  }
  return true;
}

void TSvSessionFormsService::SetFormSize(server::TSvApplication& session, int width, int height) {
  FormsOf(session).SetFormSize(width, height);
}

void InstallPageRendering() { server::RegisterSessionForms(&service()); }

void UninstallPageRendering() { server::RegisterSessionForms(nullptr); }

}  // namespace appsrv::render
