// The process-wide registry of content handlers and the matching of URL paths to them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/pipeline/content_base.h"

namespace appsrv::server {

// Registrations happen at start-up, before the configuration is locked; matching runs on every
// worker thread. The registry owns the handlers until process end (or Clear). Keys are
// lower-case path + document.
class THandlers {
 public:
  // Called with the session and the current start handler, which it may replace.
  using GetStartHandlerProc =
      std::function<void(TSvApplication* aSession, TContentBase*& aHandler)>;

  THandlers() = delete;

  // Registers under aPath + aDocument, replacing (and freeing) a handler of the same key.
  // Throws "Handlers.Add is locked. ..." once the configuration is locked, "Path and Document
  // cannot both be empty.", "Path must start with /" and "Path must end with /".
  static TContentBase* Add(std::string_view aPath, std::string_view aDocument,
                           std::unique_ptr<TContentBase> aHandler);
  // The document alone, matched against the last segment of any path.
  static TContentBase* Add(std::string_view aDocument, std::unique_ptr<TContentBase> aHandler);
  // Add, then the handler may start sessions and becomes the start handler.
  static TContentBase* AddStartHandler(std::string_view aPath, std::string_view aDocument,
                                       std::unique_ptr<TContentBase> aHandler);
  // Any document with this extension (dot included), e.g. ".pdf".
  static TContentBase* AddForExtension(std::string_view aExt,
                                       std::unique_ptr<TContentBase> aHandler);

  // The handler for a URL path (see handlers.cc for the order of candidates), or nullptr.
  static TContentBase* FindMatch(std::string_view aFullPath);

  // The start handler, after the registered procedure had the chance to replace it.
  static TContentBase* GetStartHandler(TSvApplication* aSession);
  static void RegisterGetStartHandlerProc(GetStartHandlerProc aProc);

  // Empties the registry and forgets the start handler and procedure (for tests).
  static void Clear();
};

}  // namespace appsrv::server
