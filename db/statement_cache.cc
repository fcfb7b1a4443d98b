#include "db/statement_cache.h"

#include <sqlite3.h>

#include <utility>

namespace appsrv::db {

PreparedStatement StatementCache::take(std::string_view sql, StatementGuard guard) {
  for (size_t i = entries_.size(); i-- > 0;) {
    if (entries_[i].guard == guard && entries_[i].sql == sql) {
      PreparedStatement found = std::move(entries_[i]);
      entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
      return found;
    }
  }
  return {};
}

void StatementCache::give_back(PreparedStatement statement) {
  if (!statement || sqlite3_stmt_readonly(statement.get()) == 0) {
    return;  // a statement that writes runs once; the pointer finalizes it
  }
  sqlite3_reset(statement.get());
  sqlite3_clear_bindings(statement.get());
  if (entries_.size() >= kCapacity) {
    entries_.erase(entries_.begin());
  }
  entries_.push_back(std::move(statement));
}

}  // namespace appsrv::db
