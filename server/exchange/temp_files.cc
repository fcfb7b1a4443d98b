#include "server/exchange/temp_files.h"

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/date_time.h"
#include "base/encoding.h"
#include "base/exception.h"
#include "base/files.h"

namespace appsrv::server {

namespace {

std::atomic<uint64_t> temp_counter{0};

std::mutex folder_mu;
std::string folder_value;  // guarded by folder_mu

std::string compute_stamp() {
  const double ms = base::now() * base::kMillisecondsPerDay;
  return base::to_hex_upper(ms > 0 ? static_cast<uint64_t>(ms) : 0);
}

// Takes the stamp while the process starts rather than on the first spill.
[[maybe_unused]] const std::string& stamp_at_start = temp_name_stamp();

}  // namespace

void set_temp_folder(std::string folder) {
  std::scoped_lock lock(folder_mu);
  folder_value = std::move(folder);
}

std::string temp_folder() {
  std::scoped_lock lock(folder_mu);
  return folder_value;
}

const std::string& temp_name_stamp() {
  static const std::string stamp = compute_stamp();
  return stamp;
}

std::string make_temp_name(std::string_view folder, std::string_view prefix,
                           std::string_view extension) {
  if (folder.empty()) {
    throw base::Exception("MakeTempFile: No path was provided");
  }
  const uint64_t n = temp_counter.fetch_add(1) + 1;
  std::string name = base::include_trailing_slash(folder);
  name += prefix;
  name += temp_name_stamp();
  name += base::to_hex_upper(n);
  name += extension.empty() ? std::string_view(".tmp") : extension;
  return name;
}

}  // namespace appsrv::server
