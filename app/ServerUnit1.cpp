#include "app/ServerUnit1.h"

namespace appsrv::app {

TSvForm2::TSvForm2(server::TSvApplication* session) : TSvAppForm(session, "SvForm2") {
  Width = 692;
  Height = 191;
  RenderInvisibleControls = false;
  AllowPageAccess = true;
  ConnectionMode = render::TConnectionMode::cmAny;
  Background.Fixed = false;
  HandleTabs = false;
  LeftToRight = true;
  LockUntilLoaded = true;
  LockOnSubmit = true;
  ShowHint = true;
  XPTheme = true;

  auto label = std::make_unique<render::TSvLabel>("SvLabel1");
  label->Left = 104;
  label->Top = 56;
  label->Width = 465;
  label->Height = 36;
  label->Font.SetSize(18);
  label->Font.SetColor(render::clNone);
  label->Font.SetStyle(0);
  label->FHasTaborder = false;
  label->FriendlyName = "SvLabel1";
  label->Caption = "AppService Server Is Running...";
  SvLabel1 = &AddControl(std::move(label));
}

void RegisterMainForm() { render::TSvAppForm::SetAsMainForm<TSvForm2>(); }

}  // namespace appsrv::app
