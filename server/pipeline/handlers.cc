#include "server/pipeline/handlers.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/exception.h"
#include "base/text.h"
#include "server/session/configuration_lock.h"

namespace appsrv::server {

namespace {

struct Registry {
  std::shared_mutex mu;
  std::map<std::string, std::unique_ptr<TContentBase>> handlers;  // guarded by mu
  TContentBase* start_handler = nullptr;                          // guarded by mu
  THandlers::GetStartHandlerProc start_proc;                      // guarded by mu
};

Registry& registry() {
  static Registry r;  // frees the handlers at process end
  return r;
}

// Candidate keys for a lower-case path, in the order they are tried.
std::vector<std::string> candidates(const std::string& path) {
  std::vector<std::string> keys;
  keys.push_back(path);
  if (path.back() != '/') {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string document = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = document.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : document.substr(dot);
    if (!ext.empty()) {
      keys.push_back(folder + "*" + ext);
    }
    keys.push_back(folder);
    keys.push_back(document);
    if (!ext.empty()) {
      keys.push_back("*" + ext);
    }
  }
  // Ancestor folders, nearest first, down to the first level; never the root.
  std::string ancestor = path;
  while (std::count(ancestor.begin(), ancestor.end(), '/') >= 3) {
    const size_t last = ancestor.rfind('/');
    const size_t second_last = ancestor.rfind('/', last - 1);
    ancestor.resize(second_last + 1);
    keys.push_back(ancestor);
  }
  return keys;
}

}  // namespace

TContentBase* THandlers::Add(std::string_view aPath, std::string_view aDocument,
                             std::unique_ptr<TContentBase> aHandler) {
  if (configuration_locked()) {
    throw base::Exception(
        "Handlers.Add is locked. Suggestion: Set in ServerController OnConfig event instead.");
  }
  if (aPath.empty() && aDocument.empty()) {
    throw base::Exception("Path and Document cannot both be empty.");
  }
  if (!aHandler) {
    throw base::Exception("Handler cannot be empty.");
  }
  if (!aPath.empty()) {
    if (aPath.front() != '/') {
      throw base::Exception("Path must start with /");
    }
    if (aPath.size() > 1 && aPath.back() != '/') {
      throw base::Exception("Path must end with /");
    }
  }
  std::string key(aPath);
  key += aDocument;
  aHandler->mPath = key;
  key = base::ascii_lowercase(key);

  Registry& r = registry();
  TContentBase* handler = aHandler.get();
  std::unique_ptr<TContentBase> replaced;
  {
    std::unique_lock lock(r.mu);
    auto& slot = r.handlers[key];
    replaced = std::move(slot);
    slot = std::move(aHandler);
    if (replaced && r.start_handler == replaced.get()) {
      r.start_handler = nullptr;  // it is about to be freed
    }
  }
  return handler;
}

TContentBase* THandlers::Add(std::string_view aDocument, std::unique_ptr<TContentBase> aHandler) {
  return Add("", aDocument, std::move(aHandler));
}

TContentBase* THandlers::AddStartHandler(std::string_view aPath, std::string_view aDocument,
                                         std::unique_ptr<TContentBase> aHandler) {
  TContentBase* handler = Add(aPath, aDocument, std::move(aHandler));
  handler->mCanStartSession = true;
  Registry& r = registry();
  std::unique_lock lock(r.mu);
  r.start_handler = handler;
  return handler;
}

TContentBase* THandlers::AddForExtension(std::string_view aExt,
                                         std::unique_ptr<TContentBase> aHandler) {
  std::string document = "*";
  document += aExt;
  return Add("", document, std::move(aHandler));
}

TContentBase* THandlers::FindMatch(std::string_view aFullPath) {
  if (aFullPath.empty() || aFullPath == "/" || aFullPath.starts_with("/$/")) {
    return nullptr;
  }
  Registry& r = registry();
  std::shared_lock lock(r.mu);
  if (r.handlers.empty()) {
    return nullptr;
  }
  for (const std::string& key : candidates(base::ascii_lowercase(aFullPath))) {
    if (key.empty()) {
      continue;
    }
    const auto it = r.handlers.find(key);
    if (it != r.handlers.end()) {
      return it->second.get();
    }
  }
  return nullptr;
}

TContentBase* THandlers::GetStartHandler(TSvApplication* aSession) {
  TContentBase* handler = nullptr;
  GetStartHandlerProc proc;
  {
    Registry& r = registry();
    std::shared_lock lock(r.mu);
    handler = r.start_handler;
    proc = r.start_proc;
  }
  if (proc) {
    proc(aSession, handler);
  }
  return handler;
}

void THandlers::RegisterGetStartHandlerProc(GetStartHandlerProc aProc) {
  Registry& r = registry();
  std::unique_lock lock(r.mu);
  r.start_proc = std::move(aProc);
}

void THandlers::Clear() {
  Registry& r = registry();
  std::vector<std::unique_ptr<TContentBase>> gone;  // freed outside the lock
  {
    std::unique_lock lock(r.mu);
    for (auto& entry : r.handlers) {
      gone.push_back(std::move(entry.second));
    }
    r.handlers.clear();
    r.start_handler = nullptr;
    r.start_proc = nullptr;
  }
}

}  // namespace appsrv::server
