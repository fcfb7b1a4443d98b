// The application's main form: the status page with its single label.
#pragma once

#include "render/app_form.h"
#include "render/label.h"

namespace appsrv::app {

class TSvForm2 : public render::TSvAppForm {
 public:
  explicit TSvForm2(server::TSvApplication* session);
  std::string ClassName() const override { return "TSvForm2"; }

  render::TSvLabel* SvLabel1;  // owned by the form
};

// Makes TSvForm2 the form every new browser session shows; called once before start-up.
void RegisterMainForm();

}  // namespace appsrv::app
