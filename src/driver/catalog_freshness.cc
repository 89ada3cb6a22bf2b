#include "driver/catalog_freshness.h"

#include "diagnostics/log.h"
#include "driver/connection.h"
#include "driver/sql_placeholders.h"
#include "snapshot/info_schema_registration.h"
#include "snapshot/snapshot_cache.h"
#include "snapshot/snapshot_install.h"
#include "util/ascii.h"
#include "util/clock.h"

namespace zv {

namespace {

}  // namespace

bool MayChangeCatalog(std::string_view sql) {
  static constexpr std::string_view kReads[] = {"select", "show", "explain", "describe",
                                                "values", "table", "from"};
  const std::string_view word = FirstKeyword(sql);
  if (word.empty()) return false;
  for (std::string_view read : kReads) {
    if (ascii_iequals(word, read)) return false;
  }
  return true;
}

void NoteCatalogChange(ZVConnection& conn) {
  conn.catalog_may_have_changed = true;
  SnapshotCache::Invalidate();
}

bool TrySnapshot(ZVConnection& conn) {
  arrow::Status installed = InstallConnectionSnapshot(conn);
  if (installed.ok() && conn.snapshot_store->Read().epoch != 0) return true;
  conn.next_snapshot_attempt_ns = MonotonicNanos() + int64_t{kSnapshotRetrySeconds} * 1000000000;
  ZV_LOG(kLogWarn, "info_schema",
         "catalog snapshot unavailable (%s); catalog calls ask compute, next attempt in %d s",
         installed.ok() ? "empty" : installed.message().c_str(), kSnapshotRetrySeconds);
  return false;
}

bool EnsureSnapshot(ZVConnection& conn) {
  if (!conn.transport || !conn.snapshot_store || !conn.engine) return false;
  if (conn.snapshot_store->Read().epoch != 0) return true;
  if (MonotonicNanos() < conn.next_snapshot_attempt_ns) return false;
  return TrySnapshot(conn);
}

void RefreshCatalogIfChanged(ZVConnection& conn) {
  if (!conn.catalog_may_have_changed || !conn.transport || !conn.snapshot_store) return;
  bool reloaded = false;
  arrow::Status status =
      zv_snapshot_reload_if_moved(conn.transport.get(), conn.snapshot_store.get(), &reloaded);
  if (!status.ok()) {
    ZV_LOG(kLogWarn, "info_schema", "snapshot reload failed (%s); answering from the old one",
           status.message().c_str());
    return;
  }
  conn.catalog_may_have_changed = false;
  if (reloaded && conn.engine) {
    zv_register_info_schema(conn.snapshot_store.get(), &conn.engine->registry());
  }
}

}  // namespace zv
