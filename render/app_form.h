// Application forms: the connection a form may be served over, the execute URL they post to,
// and the process-wide main form class that every new session shows first.
#pragma once

#include <functional>
#include <memory>

#include "render/form.h"

namespace appsrv::render {

enum class TConnectionMode { cmAny = 0, cmSecure = 1, cmNonSecure = 2 };

class TSvAppForm : public TSvForm {
 public:
  TSvAppForm(server::TSvApplication* session, std::string name);
  std::string ClassName() const override { return "TSvAppForm"; }

  // Stores T as the main form class; the application does this once, before start-up.
  template <class T>
  static void SetAsMainForm();

  TConnectionMode ConnectionMode = TConnectionMode::cmAny;

 protected:
  // Posts back to the session's execute URL.
  void BeforeRender() override;
};

using MainFormFactory = std::function<std::unique_ptr<TSvAppForm>(server::TSvApplication&)>;
// The main form class slot (an empty factory clears it). Set before serving; read-only after.
void SetMainFormClass(MainFormFactory factory);
const MainFormFactory& MainFormClass();

template <class T>
void TSvAppForm::SetAsMainForm() {
  SetMainFormClass([](server::TSvApplication& session) -> std::unique_ptr<TSvAppForm> {
    return std::make_unique<T>(&session);
  });
}

}  // namespace appsrv::render
