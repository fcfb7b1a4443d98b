// A cap on the temporary disk that SQLite's sorts and intermediate results may take, through a
// VFS shim over SQLite's "unix" VFS, and the process-wide cap on SQLite's own heap.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace appsrv::db {

// The temporary disk the queries of one scope may hold at once: the sum of the high-water
// sizes of the temporary files they have open. A file charges its growth as it grows and gives
// its bytes back when it is truncated or closed (SQLite's temporary files are unlinked at open,
// so their space returns to the system as they close). Shared by the scope that made it and
// by the files opened under it, which may outlive the scope. Thread-safe (atomic counters).
class TempFileBudget {
 public:
  // `max_bytes` 0 or less: no cap, the bytes are only counted.
  explicit TempFileBudget(int64_t max_bytes) : max_bytes_(max_bytes) {}

  int64_t max_bytes() const { return max_bytes_; }
  int64_t bytes_in_use() const { return in_use_.load(); }
  int64_t peak_bytes() const { return peak_.load(); }
  // True once a file under this budget was refused growth (its write failed with SQLITE_FULL).
  bool exceeded() const { return exceeded_.load(); }

  // Takes `bytes` more; false (and exceeded() from then on) when that would pass the cap.
  bool charge(int64_t bytes);
  void release(int64_t bytes) { in_use_.fetch_sub(bytes); }

 private:
  const int64_t max_bytes_;
  std::atomic<int64_t> in_use_{0};
  std::atomic<int64_t> peak_{0};
  std::atomic<bool> exceeded_{false};
};

// While alive, the temporary files SQLite opens on this thread, through connections opened on
// temp_file_vfs_name(), are charged to its budget; they keep that budget until they close.
// Scopes nest: the previous one is in force again afterwards. Connections must run their
// statements on the thread that made the scope (TADOConnection turns SQLite's sorter worker
// threads off for that reason).
class TempFileBudgetScope {
 public:
  explicit TempFileBudgetScope(int64_t max_bytes);
  ~TempFileBudgetScope();
  TempFileBudgetScope(const TempFileBudgetScope&) = delete;
  TempFileBudgetScope& operator=(const TempFileBudgetScope&) = delete;

  const TempFileBudget& budget() const { return *budget_; }
  // For the files opened under the scope, which keep the budget until they close.
  std::shared_ptr<TempFileBudget> shared_budget() const { return budget_; }

 private:
  std::shared_ptr<TempFileBudget> budget_;
  const TempFileBudgetScope* previous_;
};

// The name of the VFS every connection of the application opens with: SQLite's default
// "unix" VFS, with its temporary files charged to the budget in force. Registered (not as the
// default) on first call; thread-safe.
const char* temp_file_vfs_name();

// Bytes held now by the temporary files of every connection on temp_file_vfs_name(), in a
// scope or not.
int64_t temp_file_bytes_in_use();

// Sets sqlite3_hard_heap_limit64 to `max_bytes` (0 or less: no limit) when it is not that
// already. Process-wide: every connection's allocations count; one that would pass it fails
// with SQLITE_NOMEM. Returns the limit in force before.
int64_t apply_sqlite_heap_limit(int64_t max_bytes);
// The hard heap limit in force (0: none).
int64_t sqlite_heap_limit();

}  // namespace appsrv::db
