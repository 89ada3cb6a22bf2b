#include "driver/database.h"

#include <string_view>

#include "diagnostics/log.h"
#include "diagnostics/log_config.h"
#include "driver/adbc_status.h"
#include "driver/connection_uri.h"
#include "driver/handle_record.h"
#include "driver/option_table.h"
#include "driver/option_values.h"
#include "transport/connection_share_internal.h"

namespace zv {

namespace {

// Applies one option by its key: the options a URI carries are applied the
// same way as those set on their own.
arrow::Status ApplyOption(ZVDatabase& db, const std::string& key, const char* value) {
  const OptionDescriptor<ZVDatabase>* row = FindOption(DatabaseOptions(), key);
  if (row == nullptr) return UnknownOptionKey("unknown database option key: " + key);
  return StoreOption(*row, db, value);
}

bool IsExplicit(const ZVDatabase& db, const std::string& key) {
  return db.explicit_keys.count(key) > 0;
}

// Takes back what an earlier merge of a URI stored (a failed Init leaves it
// in place), so that a changed URI or a second Init starts from the options
// set on their own.
void WithdrawMergedUri(ZVDatabase& db) {
  for (const std::string& key : db.merged_keys) {
    if (IsExplicit(db, key)) continue;
    const OptionDescriptor<ZVDatabase>* row = FindOption(DatabaseOptions(), key);
    if (row != nullptr && row->access.reset != nullptr) row->access.reset(db);
  }
  db.merged_keys.clear();
}

bool NonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

}  // namespace

arrow::Status SetDatabaseUri(ZVDatabase& db, const char* value) {
  WithdrawMergedUri(db);
  if (!IsConnectionUri(value)) {
    db.connection_uri.reset();
    StoreOptionalText(db.uri, value);
    return arrow::Status::OK();
  }
  ARROW_ASSIGN_OR_RAISE(ConnectionUri parsed, ParseConnectionUri(value));
  for (const auto& [key, text] : parsed.options) {
    ZVDatabase scratch;
    arrow::Status valid = ApplyOption(scratch, key, text.c_str());
    if (!valid.ok()) return InvalidOptionValue("uri: " + valid.message());
  }
  db.uri = ServiceUrl(parsed, /*tls_mode_off=*/false);
  db.connection_uri = std::move(parsed);
  return arrow::Status::OK();
}

namespace {

// Options set on their own win over the same setting in the URI, whatever
// the order of the calls. The URI's password goes only with the URI's user.
arrow::Status MergeConnectionUri(ZVDatabase& db) {
  WithdrawMergedUri(db);
  if (!db.connection_uri) return arrow::Status::OK();
  const ConnectionUri& uri = *db.connection_uri;
  for (const auto& [key, text] : uri.options) {
    if (IsExplicit(db, key)) continue;
    db.merged_keys.insert(key);
    ARROW_RETURN_NOT_OK(ApplyOption(db, key, text.c_str()));
  }
  const bool own_user = IsExplicit(db, ADBC_OPTION_USERNAME);
  if (uri.username && !own_user) {
    db.merged_keys.insert(ADBC_OPTION_USERNAME);
    StoreOptionalText(db.username, uri.username->c_str());
  }
  const bool same_user = !own_user || (db.username && db.username == uri.username);
  if (uri.password.has_value() && same_user && !IsExplicit(db, ADBC_OPTION_PASSWORD)) {
    db.merged_keys.insert(ADBC_OPTION_PASSWORD);
    StoreSecretText(db.password, uri.password.c_str());
  }
  const bool tls_off = db.tls_encrypt && EqualsIgnoreAsciiCase(db.tls_encrypt->c_str(), "off");
  db.uri = ServiceUrl(uri, tls_off);
  return arrow::Status::OK();
}

}  // namespace

AdbcStatusCode DatabaseNew(AdbcDatabase* database, AdbcError* error) {
  return RunEntryPoint("AdbcDatabaseNew", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcDatabaseNew(db=%p)", static_cast<void*>(database));
    if (database == nullptr) return NullArgument("AdbcDatabaseNew: database pointer is null");
    if (database->private_data != nullptr) {
      return SequenceError("AdbcDatabaseNew called twice on the same handle without Release");
    }
    // bad_alloc becomes "AdbcDatabaseNew: out of memory" (HY001) at the boundary.
    SharedRecord<ZVDatabase>::Attach(database, std::make_shared<ZVDatabase>());
    return arrow::Status::OK();
  });
}

AdbcStatusCode DatabaseSetOption(AdbcDatabase* database, const char* key, const char* value,
                                 AdbcError* error) {
  return RunEntryPoint("AdbcDatabaseSetOption", error, [&]() -> arrow::Status {
    const OptionDescriptor<ZVDatabase>* row = key ? FindOption(DatabaseOptions(), key) : nullptr;
    const bool is_uri = row != nullptr && value != nullptr && row->key == ADBC_OPTION_URI;
    ZV_LOG(kLogInfo, "api", "AdbcDatabaseSetOption(db=%p, key=\"%s\", value=%s)",
           static_cast<void*>(database), key ? key : "(null)",
           is_uri ? UriForLog(value).c_str() : LoggedOptionValue(row, value));
    if (database == nullptr || key == nullptr) {
      return NullArgument("AdbcDatabaseSetOption: null database or key");
    }
    // An unknown key is NOT_IMPLEMENTED in every state, a released handle's
    // too; a known one is refused when the handle cannot take it.
    if (row == nullptr) {
      return UnknownOptionKey(std::string("unknown database option key: ") + key);
    }
    ZVDatabase* db = RecordOf<ZVDatabase>(database);
    if (db == nullptr) return SequenceError("AdbcDatabaseSetOption: database not allocated");
    if (db->initialised && !row->after_init) {
      return SequenceError(
          "AdbcDatabaseSetOption: database already initialized; options must be set before "
          "AdbcDatabaseInit");
    }
    ARROW_RETURN_NOT_OK(StoreOption(*row, *db, value));
    if (value != nullptr) {
      db->explicit_keys.insert(key);
    } else {
      db->explicit_keys.erase(key);
    }
    return arrow::Status::OK();
  });
}

AdbcStatusCode DatabaseInit(AdbcDatabase* database, AdbcError* error) {
  return RunEntryPoint("AdbcDatabaseInit", error, [&]() -> arrow::Status {
    if (database == nullptr) return NullArgument("AdbcDatabaseInit: database pointer is null");
    ZVDatabase* db = RecordOf<ZVDatabase>(database);
    if (db == nullptr) return SequenceError("AdbcDatabaseInit: database not allocated");
    if (db->initialised) return SequenceError("AdbcDatabaseInit called twice");
    ARROW_RETURN_NOT_OK(MergeConnectionUri(*db));

    const char* auth = !db->session_token.empty() ? "token"
                       : !db->password.empty()    ? "password"
                                                  : "none";
    ZV_LOG(kLogInfo, "api",
           "AdbcDatabaseInit(db=%p, uri=\"%s\", compute=\"%s\", compute_node=\"%s\", "
           "username=\"%s\", auth=%s)",
           static_cast<void*>(database), OptionText(db->uri, "(null)"),
           OptionText(db->compute_url, ""), OptionText(db->compute_node, ""),
           OptionText(db->username, ""), auth);

    if (!NonEmpty(db->uri)) {
      return NullArgument("AdbcDatabaseInit: 'uri' option is required (control-plane URL)");
    }
    if (db->session_token.empty() && !NonEmpty(db->username)) {
      return NullArgument(
          "AdbcDatabaseInit: must set either 'adbc.zorvane.session_token' OR 'username' "
          "(with 'password' or an OS keychain entry for it)");
    }
    if (NonEmpty(db->compute_url) && NonEmpty(db->compute_node)) {
      return NullArgument(
          "AdbcDatabaseInit: 'adbc.zorvane.compute_url' and 'adbc.zorvane.compute_node' are "
          "mutually exclusive");
    }
    ConfigureDiagnostics(
        {OptionText(db->log_path), OptionText(db->api_trace_path), OptionText(db->log_level)});
    db->connection_pool = ConnectionShare::Create();
    db->initialised = true;
    return arrow::Status::OK();
  });
}

AdbcStatusCode DatabaseRelease(AdbcDatabase* database, AdbcError* error) {
  return RunEntryPoint("AdbcDatabaseRelease", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcDatabaseRelease(db=%p)", static_cast<void*>(database));
    std::shared_ptr<ZVDatabase> db = SharedRecord<ZVDatabase>::Detach(database);
    if (db == nullptr) return arrow::Status::OK();
    // Connections still open keep the record but need none of its secrets
    // after their Init: those are zeroed now, not when the last one goes.
    for (const auto& row : DatabaseOptions()) {
      if (row.secret && row.access.reset != nullptr) row.access.reset(*db);
    }
    return arrow::Status::OK();
  });
}

}  // namespace zv
