#include "server/pipeline/controller_start.h"

#include <pthread.h>

#include "server/pipeline/compressor.h"
#include "server/pipeline/internal_files.h"

namespace appsrv::server {

TSvServerControllerBase& InitServerController(ControllerEnvironment env) {
  TSvCompressor::Finalize();
  TSvServerControllerBase& controller = CreateServerController(std::move(env));
  try {
    TSvServerInternalFiles& files = TSvServerInternalFiles::Instance();
    files.SetUseUncompressedFiles(controller.JavaScriptOptions.UseUncompressedFiles);
    files.SetPreCompressFiles(controller.Compression().PreCompress);
    TSvCompressor::Init(controller.Compression());
  } catch (...) {
    FreeServerController();
    throw;
  }
  pthread_setname_np(pthread_self(), "Sv Main Thread");
  return controller;
}

void FreeServerController() {
  DestroyServerController();
  TSvCompressor::Finalize();
}

}  // namespace appsrv::server
