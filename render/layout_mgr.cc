#include "render/layout_mgr.h"

#include "base/exception.h"
#include "render/control.h"
#include "render/form.h"
#include "render/page_context.h"
#include "server/session/browser.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"

namespace appsrv::render {

namespace {

const server::TSvServerControllerBase* controller_of(const TSvPageContext40& ctx) {
  if (ctx.FWebApplication != nullptr) {
    return &ctx.FWebApplication->controller();
  }
  return server::ServerController();
}

bool is_internet_explorer(const server::TBrowser* browser) {
  return dynamic_cast<const server::TInternetExplorer*>(browser) != nullptr;
}

std::string script_block(TSvPageContext40& ctx) {
  const server::TSvServerControllerBase* controller = controller_of(ctx);
  const server::ScriptOptions options =
      controller != nullptr ? controller->JavaScriptOptions : server::ScriptOptions{};
  std::string out;
  for (const std::string& link : ctx.FLinkFiles) {
    out += ctx.LinkFileTag(link);
  }
  // UseUncompressedFiles changes nothing here: the scripts are kept in one readable form.
  if (options.RenderjQuery) {
    out += ctx.ScriptFileTag("/js/SVLib.js");
  }
  for (const std::string& file : ctx.FPreScriptFiles) {
    out += ctx.ScriptFileTag(file);
  }
  out += ctx.ScriptFileTag("/js/SVBase.js");
  out += ctx.ScriptFileTag(is_internet_explorer(ctx.FBrowser) ? "/js/SVExplorer.js"
                                                              : "/js/SVGecko.js");
  out += "<script type=\"text/javascript\">\r\n";
  if (options.Debug) {
    out += "SVDEBUG = true;\r\n";
  }
  if (options.AjaxErrorMode != server::ScriptErrorMode::emAlert) {
    out += "SVAjaxErrorMode = " + std::to_string(static_cast<int>(options.AjaxErrorMode)) + ";\r\n";
  }
  if (!ctx.FJavaScript.empty()) {
    out += ctx.FJavaScript + "\r\n";
  }
  if (const std::string ready = ctx.OnReadyCode(); !ready.empty()) {
    out += ready + "\r\n";
  }
  out += "function InitSVCLObjects() {\r\n" + ctx.FSVCLInitProc + "}\r\n\r\n";
  out += "function Initialize() {\r\n" + ctx.InitProcCode() + "\r\n}\r\n";
  out += "</script>\r\n";
  return out;
}

}  // namespace

void RenderControl(TSvControl& control, TSvPageContext40& ctx) {
  std::unique_ptr<TSvHTMLTag> tag = control.RenderHTML(ctx);
  const std::string css_class = control.CssClassName();
  if (!tag->Param("class")) {
    tag->AddStringParam("class", css_class);
  }
  const std::string style = control.RenderStyle(ctx);
  // Appended piece by piece: GCC 12 warns falsely about "literal" + std::string here.
  const std::string own_class = control.HTMLName() + "CSS";
  std::string classes(" ");
  classes.append(tag->Param("class").value_or("")).append(" ");
  std::string needle(" ");
  needle.append(own_class).append(" ");
  if (classes.find(needle) != std::string::npos) {
    std::string rule(".");
    rule.append(own_class).append(" {").append(style).append("}\r\n");
    ctx.AddStyle(std::move(rule));
  } else if (!style.empty()) {
    tag->AddStringParam("style", style + tag->Param("style").value_or(""));
  }
  if (!tag->Param("id")) {
    tag->AddStringParam("id", control.HTMLName());
  }
  if (control.TakesInput()) {
    if (!tag->Param("name")) {
      tag->AddStringParam("name", control.HTMLName());
    }
    control.RegisterHiddenInputs(ctx);
  }
  ctx.AddSVCLInitLine(control.StartupLine());
  if (!control.TakesInput()) {
    ctx.FBodyElements.push_back(std::move(tag));
    return;
  }
  // Neighbouring input controls share one form element, so that Enter submits through the
  // page's own handler.
  TSvMarkupLanguageTag* group =
      ctx.FBodyElements.empty()
          ? nullptr
          : dynamic_cast<TSvMarkupLanguageTag*>(ctx.FBodyElements.back().get());
  if (group == nullptr || group->Name() != "form") {
    auto wrapper = std::make_unique<TSvHTMLTag>("FORM");
    wrapper->AddStringParam("onSubmit", "return FormDefaultSubmit();");
    group = wrapper.get();
    ctx.FBodyElements.push_back(std::move(wrapper));
  }
  group->AddElement(std::move(tag));
}

void TSvLayoutMgr::RenderControls(TSvForm& form, TSvPageContext40& ctx) {
  for (const std::unique_ptr<TSvControl>& control : form.Controls()) {
    if (control->Visible || form.RenderInvisibleControls) {
      RenderControl(*control, ctx);
    }
  }
}

void TSvLayoutMgr::Process(TSvForm&, TSvPageContext40&, std::string&) {
  throw base::Exception(ClassName() + ": Method Process is not implemented in this class");
}

void TSvLayoutMgrForm::Process(TSvForm& /*form*/, TSvPageContext40& ctx, std::string& out) {
  const server::TSvServerControllerBase* controller = controller_of(ctx);
  out += ctx.FDocType + "\r\n";
  out += "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n";
  if (!ctx.IsHTML5()) {
    out += "<meta http-equiv=\"cache-control\" content=\"no-cache\">\r\n";
    out += "<meta http-equiv=\"pragma\" content=\"no-cache\">\r\n";
  }
  out += "<title>" + ctx.FTitle + "</title>\r\n";
  if (controller != nullptr && controller->Render.PageTransitions) {
    out += "<meta http-equiv=\"Page-Enter\" content=\"blendTrans(Duration=0.25)\">\r\n";
  }
  out += ctx.PreHeadContent + "\r\n";
  out += script_block(ctx);
  out += ctx.HeadContent + "\r\n";
  ctx.FStyleTag.Render(out);
  out += "</head>\r\n";
  for (std::unique_ptr<TSvMarkupLanguageElement>& element : ctx.FBodyElements) {
    ctx.FBodyTag.AddElement(std::move(element));
  }
  ctx.FBodyElements.clear();
  ctx.FBodyTag.AddElement(std::move(ctx.FFormTag));
  ctx.FBodyTag.Render(out);
  out += "</html>\r\n";
}

}  // namespace appsrv::render
