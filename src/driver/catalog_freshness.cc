#include "driver/catalog_freshness.h"

#include "diagnostics/log.h"
#include "driver/connection.h"
#include "driver/database.h"
#include "driver/sql_placeholders.h"
#include "snapshot/confirmed_version.h"
#include "snapshot/info_schema_registration.h"
#include "snapshot/snapshot_cache.h"
#include "snapshot/snapshot_install.h"
#include "util/ascii.h"
#include "util/clock.h"
#include "util/failure.h"

namespace zv {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

int64_t BoundNanos(const ZVConnection& conn) {
  return int64_t{conn.catalog_max_age_sec} * kNanosPerSecond;
}

// The engine answers from a registry built whole for the new snapshot and
// then swapped in, so no statement sees a relation of each.
void RegisterWithEngine(ZVConnection& conn) {
  auto engine = std::make_unique<zv_sql::MetadataEngine>(*conn.engine);
  zv_register_info_schema(conn.snapshot_store.get(), &engine->registry());
  conn.engine = std::move(engine);
}

arrow::Status Cancelled() {
  return Failure(FailureKind::kCancelled, "57014",
                 "the catalog call was cancelled while its snapshot was being confirmed");
}

// Without a snapshot: another attempt once the retry time has come.
bool RetrySnapshot(ZVConnection& conn) {
  if (MonotonicNanos() < conn.next_snapshot_attempt_ns) return false;
  return TrySnapshot(conn);
}

// The version could not be read: the snapshot keeps answering, said once per
// run of failures.
void NoteVersionCheckFailed(ZVConnection& conn, const arrow::Status& why) {
  if (conn.catalog_check_failing) return;
  conn.catalog_check_failing = true;
  ZV_LOG(kLogWarn, "info_schema",
         "catalog version check failed (%s); answering from the snapshot of epoch %llu, next "
         "check in %u s",
         why.message().c_str(), static_cast<unsigned long long>(conn.snapshot_store->stamp().epoch),
         conn.catalog_max_age_sec);
}

}  // namespace

bool MayChangeCatalog(std::string_view sql) {
  static constexpr std::string_view kReads[] = {"select", "show",  "explain", "describe",
                                                "values", "table", "from"};
  const std::string_view word = FirstKeyword(sql);
  if (word.empty()) return false;
  for (std::string_view read : kReads) {
    if (ascii_iequals(word, read)) return false;
  }
  return true;
}

void NoteCatalogChange(ZVConnection& conn) {
  if (conn.catalog_changed_at_ns == 0) conn.catalog_changed_at_ns = MonotonicNanos();
  SnapshotCache::Invalidate();
  ConfirmedCatalogVersion::Forget();
}

bool TrySnapshot(ZVConnection& conn) {
  arrow::Status installed = InstallConnectionSnapshot(conn);
  if (installed.ok() && conn.snapshot_store->stamp().epoch != 0) return true;
  conn.next_snapshot_attempt_ns =
      MonotonicNanos() + int64_t{kSnapshotRetrySeconds} * kNanosPerSecond;
  ZV_LOG(kLogWarn, "info_schema",
         "catalog snapshot unavailable (%s); catalog calls ask compute, next attempt in %d s",
         installed.ok() ? "empty" : installed.message().c_str(), kSnapshotRetrySeconds);
  return false;
}

arrow::Result<bool> ConfirmCatalog(ZVConnection& conn) {
  if (!conn.transport || !conn.snapshot_store || !conn.engine) return false;
  const ZVSnapshotStore::Stamp contents = conn.snapshot_store->stamp();
  if (contents.epoch == 0) return RetrySnapshot(conn);
  const int64_t now = MonotonicNanos();
  const bool own_change = conn.catalog_changed_at_ns != 0;
  if (!own_change && !conn.snapshot_behind && now - contents.current_at_ns <= BoundNanos(conn)) {
    return true;
  }
  if (conn.snapshot_behind && now < conn.next_snapshot_attempt_ns) return false;

  const std::shared_ptr<CancelScope> scope = conn.cancel_scope;
  const uint64_t generation = scope->generation();
  arrow::Result<ConfirmedVersion> version = ConfirmedCatalogVersion::Confirm(
      *conn.transport, BoundNanos(conn), conn.catalog_changed_at_ns);
  if (scope->generation() != generation) return Cancelled();
  if (!version.ok() && !own_change && !conn.snapshot_behind) {
    NoteVersionCheckFailed(conn, version.status());
    return true;
  }
  conn.catalog_check_failing = false;
  // After a change of our own, an unknown version counts as moved: a needless
  // fetch is cheaper than a stale answer.
  const ConfirmedVersion target = version.ok() ? *version : ConfirmedVersion{0, now};
  const ZVDatabase& db = *conn.database;
  bool reloaded = false;
  arrow::Status brought = zv_snapshot_bring_current(
      conn.transport.get(), conn.snapshot_store.get(), OptionText(db.uri, ""),
      OptionText(db.username), target,
      [scope, generation] { return scope->generation() != generation; }, &reloaded);
  if (scope->generation() != generation) return Cancelled();
  if (!brought.ok()) {
    // Known to be behind: compute answers until a snapshot can be had.
    conn.snapshot_behind = true;
    conn.next_snapshot_attempt_ns = now + int64_t{kSnapshotRetrySeconds} * kNanosPerSecond;
    ZV_LOG(kLogWarn, "info_schema",
           "catalog moved but its snapshot could not be fetched (%s); catalog calls ask compute, "
           "next attempt in %d s",
           brought.message().c_str(), kSnapshotRetrySeconds);
    return false;
  }
  conn.snapshot_behind = false;
  conn.catalog_changed_at_ns = 0;
  if (reloaded) RegisterWithEngine(conn);
  return true;
}

}  // namespace zv
