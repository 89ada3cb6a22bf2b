#include "driver/database.h"

#include <string_view>

#include "diagnostics/log.h"
#include "diagnostics/log_config.h"
#include "diagnostics/redact.h"
#include "driver/adbc_status.h"
#include "driver/connection_uri.h"
#include "driver/handle_record.h"
#include "driver/option_access.h"
#include "driver/option_values.h"

namespace zv {

namespace {

using TextField = std::optional<std::string> ZVDatabase::*;
using SecretField = SecretString ZVDatabase::*;

// Options stored as given; null unsets them.
constexpr struct {
  const char* key;
  TextField field;
} kTextOptions[] = {
    {"username", &ZVDatabase::username},
    {"adbc.zorvane.compute_url", &ZVDatabase::compute_url},
    {"adbc.zorvane.compute_node", &ZVDatabase::compute_node},
    {"adbc.zorvane.application_name", &ZVDatabase::application_name},
    {"adbc.zorvane.proxy_url", &ZVDatabase::proxy_url},
    {"adbc.zorvane.proxy_user", &ZVDatabase::proxy_user},
    {"adbc.zorvane.tls.ca_bundle", &ZVDatabase::tls_ca_bundle},
    {"adbc.zorvane.tls.host_in_cert", &ZVDatabase::tls_host_in_cert},
    {"adbc.zorvane.tls.client_cert", &ZVDatabase::tls_client_cert},
    {"adbc.zorvane.tls.client_key", &ZVDatabase::tls_client_key},
    {"adbc.zorvane.log_path", &ZVDatabase::log_path},
    {"adbc.zorvane.api_trace_path", &ZVDatabase::api_trace_path},
};

constexpr struct {
  const char* key;
  SecretField field;
} kSecretOptions[] = {
    {"password", &ZVDatabase::password},
    {"adbc.zorvane.session_token", &ZVDatabase::session_token},
    {"adbc.zorvane.proxy_pass", &ZVDatabase::proxy_pass},
};

// A text that cannot be copied for lack of memory leaves the option unset;
// the call still succeeds.
void StoreText(std::optional<std::string>& field, const char* value) {
  field.reset();
  if (value == nullptr) return;
  try {
    field.emplace(value);
  } catch (const std::bad_alloc&) {
    field.reset();
  }
}

void StoreSecret(SecretString& field, const char* value) {
  field.Reset();
  if (value == nullptr) return;
  try {
    field.Assign(value);
  } catch (const std::bad_alloc&) {
    field.Reset();
  }
}

arrow::Status SetUri(ZVDatabase& db, const char* value);

// Integer options; 0 means the driver default.
constexpr struct {
  const char* key;
  int32_t ZVDatabase::*field;
  const char* refusal;
} kIntegerOptions[] = {
    {"adbc.zorvane.connect_timeout_sec", &ZVDatabase::connect_timeout_sec,
     "adbc.zorvane.connect_timeout_sec must be a non-negative integer (0 means use the driver "
     "default)"},
    {"adbc.zorvane.max_stream_buffer_mb", &ZVDatabase::max_stream_buffer_mb,
     "adbc.zorvane.max_stream_buffer_mb must be a non-negative integer in MB (0 means use the "
     "driver default of 256 MB)"},
};

bool IsLogLevel(const char* value) { return value != nullptr && ParseLogLevel(value); }
bool IsBoolean(const char* value) { return ParseBooleanText(value).has_value(); }

// Text options whose value is checked when it is set.
constexpr struct {
  const char* key;
  TextField field;
  bool (*valid)(const char*);
  bool flag;  // kept as "true" or "false", whichever spelling the caller used
  const char* refusal;
} kCheckedTextOptions[] = {
    {"adbc.zorvane.tls.encrypt", &ZVDatabase::tls_encrypt, IsTlsEncryptMode, false,
     "adbc.zorvane.tls.encrypt must be one of Off, Optional, Mandatory, Strict"},
    {"adbc.zorvane.tls.trust_server_cert", &ZVDatabase::tls_trust_server_cert, IsBoolean, true,
     "adbc.zorvane.tls.trust_server_cert must be true or false"},
    {"adbc.zorvane.tls.min_version", &ZVDatabase::tls_min_version, IsTlsMinVersion, false,
     "adbc.zorvane.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'"},
    {"adbc.zorvane.log_level", &ZVDatabase::log_level, IsLogLevel, false,
     "adbc.zorvane.log_level must be one of off, error, warn, info, debug, trace"},
};

// The checked options, or nothing when `key` is none of them.
std::optional<arrow::Status> ApplyCheckedOption(ZVDatabase& db, const std::string& key,
                                                const char* value) {
  for (const auto& option : kIntegerOptions) {
    if (key != option.key) continue;
    std::optional<int32_t> parsed = ParseDatabaseInteger(value);
    if (!parsed) return InvalidOptionValue(option.refusal);
    db.*option.field = *parsed;
    return arrow::Status::OK();
  }
  for (const auto& option : kCheckedTextOptions) {
    if (key != option.key) continue;
    if (!option.valid(value)) return InvalidOptionValue(option.refusal);
    const char* stored = option.flag ? (*ParseBooleanText(value) ? "true" : "false") : value;
    StoreText(db.*option.field, stored);
    return arrow::Status::OK();
  }
  return std::nullopt;
}

// Back to unset (0 for the integers); false when `key` is none of the checked
// options, whose values null cannot unset through ApplyOption.
bool ResetCheckedOption(ZVDatabase& db, const std::string& key) {
  for (const auto& option : kIntegerOptions) {
    if (key != option.key) continue;
    db.*option.field = 0;
    return true;
  }
  for (const auto& option : kCheckedTextOptions) {
    if (key != option.key) continue;
    (db.*option.field).reset();
    return true;
  }
  return false;
}

// Whether `key` names a database option, whatever the handle's state.
bool IsDatabaseOptionKey(const std::string& key) {
  auto named = [&key](const auto& table) {
    for (const auto& option : table) {
      if (key == option.key) return true;
    }
    return false;
  };
  return key == "uri" || named(kTextOptions) || named(kSecretOptions) || named(kIntegerOptions) ||
         named(kCheckedTextOptions);
}

arrow::Status ApplyOption(ZVDatabase& db, const std::string& key, const char* value) {
  for (const auto& option : kTextOptions) {
    if (key == option.key) {
      StoreText(db.*option.field, value);
      return arrow::Status::OK();
    }
  }
  for (const auto& option : kSecretOptions) {
    if (key == option.key) {
      StoreSecret(db.*option.field, value);
      return arrow::Status::OK();
    }
  }
  if (key == "uri") {
    if (value == nullptr || value[0] == '\0') {
      return InvalidOptionValue("uri must be a non-empty string");
    }
    return SetUri(db, value);
  }
  if (std::optional<arrow::Status> applied = ApplyCheckedOption(db, key, value)) {
    return *applied;
  }
  return UnknownOptionKey("unknown database option key: " + key);
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
    if (!ResetCheckedOption(db, key)) {
      (void)ApplyOption(db, key, nullptr);  // text and secret options: null unsets
    }
  }
  db.merged_keys.clear();
}

// A plain http(s) URL is the service address as given; a zorvane:// URI is
// taken apart and checked now, so that a bad parameter is reported by the
// call that set it, and merged with the other options at Init.
arrow::Status SetUri(ZVDatabase& db, const char* value) {
  WithdrawMergedUri(db);
  if (!IsConnectionUri(value)) {
    db.connection_uri.reset();
    StoreText(db.uri, value);
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
  const bool own_user = IsExplicit(db, "username");
  if (uri.username && !own_user) {
    db.merged_keys.insert("username");
    StoreText(db.username, uri.username->c_str());
  }
  const bool same_user = !own_user || (db.username && db.username == uri.username);
  if (uri.password.has_value() && same_user && !IsExplicit(db, "password")) {
    db.merged_keys.insert("password");
    StoreSecret(db.password, uri.password.c_str());
  }
  const bool tls_off = db.tls_encrypt && EqualsIgnoreAsciiCase(db.tls_encrypt->c_str(), "off");
  db.uri = ServiceUrl(uri, tls_off);
  return arrow::Status::OK();
}

bool NonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

}  // namespace

const char* LoggedOptionValue(const char* key, const char* value) {
  // The proxy password is a secret even though its key does not say so.
  if (zv_is_secret_key(key) || (key && std::string_view(key) == "adbc.zorvane.proxy_pass")) {
    return "[REDACTED]";
  }
  return value ? value : "(null)";
}

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
    const bool is_uri = key != nullptr && value != nullptr && std::string_view(key) == "uri";
    ZV_LOG(kLogInfo, "api", "AdbcDatabaseSetOption(db=%p, key=\"%s\", value=%s)",
           static_cast<void*>(database), key ? key : "(null)",
           is_uri ? UriForLog(value).c_str() : LoggedOptionValue(key, value));
    if (database == nullptr || key == nullptr) {
      return NullArgument("AdbcDatabaseSetOption: null database or key");
    }
    // An unknown key is NOT_IMPLEMENTED in every state, a released handle's
    // too; a known one is refused when the handle cannot take it.
    if (!IsDatabaseOptionKey(key)) {
      return UnknownOptionKey(std::string("unknown database option key: ") + key);
    }
    ZVDatabase* db = RecordOf<ZVDatabase>(database);
    if (db == nullptr) return SequenceError("AdbcDatabaseSetOption: database not allocated");
    if (db->initialised) {
      return SequenceError(
          "AdbcDatabaseSetOption: database already initialized; options must be set before "
          "AdbcDatabaseInit");
    }
    ARROW_RETURN_NOT_OK(ApplyOption(*db, key, value));
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
    db->initialised = true;
    return arrow::Status::OK();
  });
}

arrow::Result<std::string> DatabaseOptionValue(const ZVDatabase& db, const std::string& key) {
  if (zv_is_secret_key(key.c_str())) return SecretOption(key);
  for (const auto& option : kTextOptions) {
    if (key == option.key) {
      const auto& field = db.*option.field;
      if (!field) return OptionNotSet(key);
      return *field;
    }
  }
  for (const auto& option : kSecretOptions) {
    if (key == option.key) return SecretOption(key);
  }
  if (key == "uri") {
    if (!db.uri) return OptionNotSet(key);
    return *db.uri;
  }
  for (const auto& option : kCheckedTextOptions) {
    if (key != option.key) continue;
    const auto& field = db.*option.field;
    if (!field) return OptionNotSet(key);
    return *field;
  }
  for (const auto& option : kIntegerOptions) {
    if (key == option.key) return std::to_string(db.*option.field);
  }
  return OptionNotSet(key);
}

AdbcStatusCode DatabaseRelease(AdbcDatabase* database, AdbcError* error) {
  return RunEntryPoint("AdbcDatabaseRelease", error, [&]() -> arrow::Status {
    ZV_LOG(kLogInfo, "api", "AdbcDatabaseRelease(db=%p)", static_cast<void*>(database));
    std::shared_ptr<ZVDatabase> db = SharedRecord<ZVDatabase>::Detach(database);
    if (db == nullptr) return arrow::Status::OK();
    // Connections still open keep the record but need none of its secrets
    // after their Init: those are zeroed now, not when the last one goes.
    for (const auto& option : kSecretOptions) ((*db).*option.field).Reset();
    return arrow::Status::OK();
  });
}

}  // namespace zv
