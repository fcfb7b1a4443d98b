// How the process gives memory back: a request that read huge values or built a huge reply page
// frees blocks of many megabytes, and by default glibc raises its threshold for mapping blocks
// of their own to the size of the last one freed (up to 32 MiB), so that the next such blocks
// come from the heap of the thread that asked and stay resident once freed. Sixteen sessions
// that each built a large page would keep what they held at their peak.
#pragma once

#include <cstddef>

namespace appsrv::host {

// Blocks of this size or more get mappings of their own, which go back to the system when they
// are freed; far above what a normal request allocates at once.
inline constexpr size_t kLargeBlockBytes = size_t{4} << 20;

// Fixes that threshold (and so turns off its growth); once per process, before the threads that
// serve requests start. Returns false when the allocator refused it.
bool ReturnLargeBlocksToTheSystem();

}  // namespace appsrv::host
