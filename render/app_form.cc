#include "render/app_form.h"

#include "render/session_forms.h"

namespace appsrv::render {

namespace {

MainFormFactory& main_form_slot() {
  static MainFormFactory slot;
  return slot;
}

}  // namespace

TSvAppForm::TSvAppForm(server::TSvApplication* session, std::string name)
    : TSvForm(session, std::move(name)) {
  Width = 200;
  Height = 300;
}

void TSvAppForm::BeforeRender() {
  if (Session() != nullptr) {
    FormAction = FormsOf(*Session()).FFormAction;
  }
}

void SetMainFormClass(MainFormFactory factory) { main_form_slot() = std::move(factory); }

const MainFormFactory& MainFormClass() { return main_form_slot(); }

}  // namespace appsrv::render
