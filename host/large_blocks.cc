#include "host/large_blocks.h"

#include <malloc.h>

namespace appsrv::host {

bool ReturnLargeBlocksToTheSystem() {
  return mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeBlockBytes)) == 1;
}

}  // namespace appsrv::host
