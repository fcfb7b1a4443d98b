#include "host/ardo_host.h"

#include <exception>
#include <string_view>

#include "base/exception.h"
#include "host/app_log.h"
#include "host/server_intercept.h"
#include "server/session/server_controller.h"
#include "transport/bridge/server_bridge.h"

namespace appsrv::host {
namespace {

// The bridge's host seen through what the standalone server needs of it.
class ArdoHost final : public TransportHost {
 public:
  // A log that cannot be written must not keep the listeners from opening.
  static void note(std::string_view line) {
    try {
      AppendApplicationLog(line);
    } catch (const std::exception&) {
    }
  }

  // Notes from opening the listeners (which TLS versions are served) go to the application log.
  explicit ArdoHost(server::TSvServerControllerBase& controller)
      : host_(controller, &note) {
    // Set before the standalone server turns the intercept on.
    host_.MakeServerIntercept = [](int32_t bytes_per_second) {
      return std::make_unique<TSvServerIntercept>(bytes_per_second);
    };
  }
  bool HttpActive() const override { return host_.HTTP().Active(); }
  bool HttpsActive() const override { return host_.HTTPS().Active(); }
  void SetBitsPerSec(int32_t bits_per_sec) override { host_.FBitsPerSec = bits_per_sec; }
  void SetUseServerIntercept(bool use) override { host_.FUseServerIntercept = use; }

 private:
  // HTTP() and HTTPS() are not const; reading Active() changes nothing.
  mutable transport::TSaServerArdo host_;
};

}  // namespace

HttpHostClass TSaServerArdoClass() {
  return []() -> std::unique_ptr<TransportHost> {
    server::TSvServerControllerBase* controller = server::ServerController();
    if (controller == nullptr) {
      throw base::Exception("No server controller is defined.");
    }
    return std::make_unique<ArdoHost>(*controller);
  };
}

}  // namespace appsrv::host
