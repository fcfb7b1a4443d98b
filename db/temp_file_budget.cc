#include "db/temp_file_budget.h"

#include <sqlite3.h>

#include <algorithm>
#include <new>

namespace appsrv::db {
namespace {

constexpr const char* kVfsName = "appsrv-temp-budget";

// The scope in force on this thread. Each connection is used by one request at a time on one
// thread, and SQLite opens its temporary files on the thread that runs the statement.
thread_local const TempFileBudgetScope* t_scope = nullptr;

// Bytes held by all budgeted temporary files of the process, for figures and tests.
std::atomic<int64_t> g_bytes_in_use{0};

// A temporary file as SQLite sees it: our header, then the real file of the "unix" VFS in the
// same allocation (SQLite allocates the VFS's szOsFile bytes per file).
struct BudgetedFile {
  sqlite3_file base;  // first: SQLite's pointer to the file is a pointer to this
  sqlite3_file* real;
  std::shared_ptr<TempFileBudget> budget;  // null outside a scope: counted, not capped
  int64_t size;                            // the file's high-water size, as charged
};

constexpr size_t kRealOffset = (sizeof(BudgetedFile) + 15) & ~size_t{15};

BudgetedFile* budgeted(sqlite3_file* file) { return reinterpret_cast<BudgetedFile*>(file); }
sqlite3_file* real_of(sqlite3_file* file) { return budgeted(file)->real; }
sqlite3_vfs* real_vfs(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

// Raises the file's size to `end`, charging the growth; false when the budget refuses it.
bool grow(BudgetedFile* f, int64_t end) {
  if (end <= f->size) {
    return true;
  }
  const int64_t growth = end - f->size;
  if (f->budget != nullptr && !f->budget->charge(growth)) {
    return false;
  }
  g_bytes_in_use.fetch_add(growth);
  f->size = end;
  return true;
}

void shrink(BudgetedFile* f, int64_t end) {
  if (end >= f->size) {
    return;
  }
  const int64_t freed = f->size - std::max<int64_t>(end, 0);
  if (f->budget != nullptr) {
    f->budget->release(freed);
  }
  g_bytes_in_use.fetch_sub(freed);
  f->size -= freed;
}

int file_close(sqlite3_file* file) {
  BudgetedFile* f = budgeted(file);
  const int rc = f->real->pMethods->xClose(f->real);
  shrink(f, 0);
  f->budget.~shared_ptr();
  return rc;
}

int file_read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return real_of(file)->pMethods->xRead(real_of(file), buffer, amount, offset);
}

int file_write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  BudgetedFile* f = budgeted(file);
  if (!grow(f, offset + amount)) {
    return SQLITE_FULL;
  }
  return f->real->pMethods->xWrite(f->real, buffer, amount, offset);
}

int file_truncate(sqlite3_file* file, sqlite3_int64 size) {
  BudgetedFile* f = budgeted(file);
  // A longer file is sparse, but writes into the hole would then take disk uncharged.
  if (!grow(f, size)) {
    return SQLITE_FULL;
  }
  const int rc = f->real->pMethods->xTruncate(f->real, size);
  if (rc == SQLITE_OK) {
    shrink(f, size);
  }
  return rc;
}

int file_sync(sqlite3_file* file, int flags) {
  return real_of(file)->pMethods->xSync(real_of(file), flags);
}
int file_size(sqlite3_file* file, sqlite3_int64* size) {
  return real_of(file)->pMethods->xFileSize(real_of(file), size);
}
int file_lock(sqlite3_file* file, int level) {
  return real_of(file)->pMethods->xLock(real_of(file), level);
}
int file_unlock(sqlite3_file* file, int level) {
  return real_of(file)->pMethods->xUnlock(real_of(file), level);
}
int file_check_reserved_lock(sqlite3_file* file, int* out) {
  return real_of(file)->pMethods->xCheckReservedLock(real_of(file), out);
}

int file_control(sqlite3_file* file, int op, void* arg) {
  BudgetedFile* f = budgeted(file);
  // The sorter asks the unix VFS to allocate a file's blocks ahead of its writes, so that it
  // can map the file: those blocks are disk taken, charged before they are.
  if (op == SQLITE_FCNTL_SIZE_HINT && !grow(f, *static_cast<sqlite3_int64*>(arg))) {
    return SQLITE_FULL;
  }
  return f->real->pMethods->xFileControl(f->real, op, arg);
}

int file_sector_size(sqlite3_file* file) {
  return real_of(file)->pMethods->xSectorSize(real_of(file));
}
int file_device_characteristics(sqlite3_file* file) {
  return real_of(file)->pMethods->xDeviceCharacteristics(real_of(file));
}

// Temporary files never use shared memory; these only keep the method table complete.
int file_shm_map(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  sqlite3_file* real = real_of(file);
  return real->pMethods->iVersion >= 2 ? real->pMethods->xShmMap(real, region, size, extend, out)
                                       : SQLITE_IOERR_SHMMAP;
}
int file_shm_lock(sqlite3_file* file, int offset, int n, int flags) {
  sqlite3_file* real = real_of(file);
  return real->pMethods->iVersion >= 2 ? real->pMethods->xShmLock(real, offset, n, flags)
                                       : SQLITE_IOERR_SHMLOCK;
}
void file_shm_barrier(sqlite3_file* file) {
  sqlite3_file* real = real_of(file);
  if (real->pMethods->iVersion >= 2) {
    real->pMethods->xShmBarrier(real);
  }
}
int file_shm_unmap(sqlite3_file* file, int remove) {
  sqlite3_file* real = real_of(file);
  return real->pMethods->iVersion >= 2 ? real->pMethods->xShmUnmap(real, remove) : SQLITE_OK;
}

// The sorter reads its spilled runs through a read-only mapping; mapped pages take no more
// disk than the writes already charged.
int file_fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  sqlite3_file* real = real_of(file);
  if (real->pMethods->iVersion < 3) {
    *out = nullptr;
    return SQLITE_OK;
  }
  return real->pMethods->xFetch(real, offset, amount, out);
}
int file_unfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  sqlite3_file* real = real_of(file);
  return real->pMethods->iVersion >= 3 ? real->pMethods->xUnfetch(real, offset, page) : SQLITE_OK;
}

constexpr sqlite3_io_methods kBudgetedMethods = {
    3,
    file_close,
    file_read,
    file_write,
    file_truncate,
    file_sync,
    file_size,
    file_lock,
    file_unlock,
    file_check_reserved_lock,
    file_control,
    file_sector_size,
    file_device_characteristics,
    file_shm_map,
    file_shm_lock,
    file_shm_barrier,
    file_shm_unmap,
    file_fetch,
    file_unfetch,
};

constexpr int kTemporaryKinds = SQLITE_OPEN_TEMP_JOURNAL | SQLITE_OPEN_TEMP_DB |
                                SQLITE_OPEN_SUBJOURNAL | SQLITE_OPEN_TRANSIENT_DB;

int vfs_open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  sqlite3_vfs* real = real_vfs(vfs);
  // Named files (databases, their journals and WAL) are the real VFS's files, unwrapped. The
  // real VFS is called as itself: the unix VFS finds its locking style through its own pAppData.
  if (name != nullptr && (flags & kTemporaryKinds) == 0) {
    return real->xOpen(real, name, file, flags, out_flags);
  }
  auto* f = new (file) BudgetedFile{};
  f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kRealOffset);
  f->budget = t_scope != nullptr ? t_scope->shared_budget() : nullptr;
  const int rc = real->xOpen(real, name, f->real, flags, out_flags);
  if (rc != SQLITE_OK) {
    // SQLite calls no xClose for a file whose pMethods is null.
    if (f->real->pMethods != nullptr) {
      f->real->pMethods->xClose(f->real);
    }
    f->~BudgetedFile();
    file->pMethods = nullptr;
    return rc;
  }
  f->base.pMethods = &kBudgetedMethods;
  return SQLITE_OK;
}

int vfs_delete(sqlite3_vfs* vfs, const char* name, int sync_dir) {
  return real_vfs(vfs)->xDelete(real_vfs(vfs), name, sync_dir);
}
int vfs_access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return real_vfs(vfs)->xAccess(real_vfs(vfs), name, flags, out);
}
int vfs_full_pathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return real_vfs(vfs)->xFullPathname(real_vfs(vfs), name, size, out);
}
void* vfs_dl_open(sqlite3_vfs* vfs, const char* name) {
  return real_vfs(vfs)->xDlOpen(real_vfs(vfs), name);
}
void vfs_dl_error(sqlite3_vfs* vfs, int size, char* out) {
  real_vfs(vfs)->xDlError(real_vfs(vfs), size, out);
}
void (*vfs_dl_sym(sqlite3_vfs* vfs, void* handle, const char* symbol))() {
  return real_vfs(vfs)->xDlSym(real_vfs(vfs), handle, symbol);
}
void vfs_dl_close(sqlite3_vfs* vfs, void* handle) {
  real_vfs(vfs)->xDlClose(real_vfs(vfs), handle);
}
int vfs_randomness(sqlite3_vfs* vfs, int size, char* out) {
  return real_vfs(vfs)->xRandomness(real_vfs(vfs), size, out);
}
int vfs_sleep(sqlite3_vfs* vfs, int microseconds) {
  return real_vfs(vfs)->xSleep(real_vfs(vfs), microseconds);
}
int vfs_current_time(sqlite3_vfs* vfs, double* out) {
  return real_vfs(vfs)->xCurrentTime(real_vfs(vfs), out);
}
int vfs_get_last_error(sqlite3_vfs* vfs, int size, char* out) {
  return real_vfs(vfs)->xGetLastError(real_vfs(vfs), size, out);
}
int vfs_current_time_int64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return real_vfs(vfs)->xCurrentTimeInt64(real_vfs(vfs), out);
}
int vfs_set_system_call(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return real_vfs(vfs)->xSetSystemCall(real_vfs(vfs), name, call);
}
sqlite3_syscall_ptr vfs_get_system_call(sqlite3_vfs* vfs, const char* name) {
  return real_vfs(vfs)->xGetSystemCall(real_vfs(vfs), name);
}
const char* vfs_next_system_call(sqlite3_vfs* vfs, const char* name) {
  return real_vfs(vfs)->xNextSystemCall(real_vfs(vfs), name);
}

// Registers the shim once, over "unix" (the default VFS when that is missing); it lives as
// long as the process.
sqlite3_vfs* register_vfs() {
  sqlite3_initialize();
  sqlite3_vfs* real = sqlite3_vfs_find("unix");
  if (real == nullptr) {
    real = sqlite3_vfs_find(nullptr);
  }
  static sqlite3_vfs shim{};
  shim.iVersion = std::min(real->iVersion, 3);
  shim.szOsFile = static_cast<int>(kRealOffset) + real->szOsFile;
  shim.mxPathname = real->mxPathname;
  shim.zName = kVfsName;
  shim.pAppData = real;
  shim.xOpen = vfs_open;
  shim.xDelete = vfs_delete;
  shim.xAccess = vfs_access;
  shim.xFullPathname = vfs_full_pathname;
  shim.xDlOpen = vfs_dl_open;
  shim.xDlError = vfs_dl_error;
  shim.xDlSym = vfs_dl_sym;
  shim.xDlClose = vfs_dl_close;
  shim.xRandomness = vfs_randomness;
  shim.xSleep = vfs_sleep;
  shim.xCurrentTime = vfs_current_time;
  shim.xGetLastError = vfs_get_last_error;
  if (shim.iVersion >= 2) {
    shim.xCurrentTimeInt64 = vfs_current_time_int64;
  }
  if (shim.iVersion >= 3) {
    shim.xSetSystemCall = vfs_set_system_call;
    shim.xGetSystemCall = vfs_get_system_call;
    shim.xNextSystemCall = vfs_next_system_call;
  }
  sqlite3_vfs_register(&shim, 0);
  return &shim;
}

}  // namespace

bool TempFileBudget::charge(int64_t bytes) {
  const int64_t now = in_use_.fetch_add(bytes) + bytes;
  if (max_bytes_ > 0 && now > max_bytes_) {
    in_use_.fetch_sub(bytes);
    exceeded_.store(true);
    return false;
  }
  int64_t peak = peak_.load();
  while (now > peak && !peak_.compare_exchange_weak(peak, now)) {
  }
  return true;
}

TempFileBudgetScope::TempFileBudgetScope(int64_t max_bytes)
    : budget_(std::make_shared<TempFileBudget>(max_bytes)), previous_(t_scope) {
  t_scope = this;
}

TempFileBudgetScope::~TempFileBudgetScope() { t_scope = previous_; }

const char* temp_file_vfs_name() {
  static sqlite3_vfs* const vfs = register_vfs();
  return vfs->zName;
}

int64_t temp_file_bytes_in_use() { return g_bytes_in_use.load(); }

int64_t apply_sqlite_heap_limit(int64_t max_bytes) {
  const sqlite3_int64 wanted = std::max<int64_t>(max_bytes, 0);
  const sqlite3_int64 previous = sqlite3_hard_heap_limit64(-1);
  if (previous != wanted) {
    sqlite3_hard_heap_limit64(wanted);
  }
  return previous;
}

int64_t sqlite_heap_limit() { return sqlite3_hard_heap_limit64(-1); }

}  // namespace appsrv::db
