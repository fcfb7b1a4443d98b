// The process-wide flag the server controller raises once its configuration is locked; start-up
// registrations (content handlers) are refused from then on.
#pragma once

namespace appsrv::server {

bool configuration_locked();
void set_configuration_locked(bool locked);

}  // namespace appsrv::server
