#pragma once

#include <adbc.h>
#include <arrow/result.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "util/secret_string.h"
#include "driver/connection_uri.h"
#include "driver/handle_record.h"
#include "driver/option_table.h"

namespace zv {

class ConnectionShare;

// The record behind an AdbcDatabase: the settings for one Zorvane service.
// Connections read it at their own Init and share it afterwards (the catalog
// snapshot is fetched under its URI and user name).
struct ZVDatabase : SharedRecord<ZVDatabase> {
  std::optional<std::string> uri;
  std::optional<std::string> compute_url;
  std::optional<std::string> compute_node;
  std::optional<std::string> username;
  SecretString password;
  SecretString session_token;
  std::optional<std::string> application_name;
  std::optional<std::string> proxy_url;
  std::optional<std::string> proxy_user;
  SecretString proxy_pass;
  int32_t connect_timeout_sec = 0;   // 0: driver default
  int32_t max_stream_buffer_mb = 0;  // 0: driver default
  std::optional<std::string> tls_encrypt;
  std::optional<std::string> tls_trust_server_cert;  // "true" or "false"
  std::optional<std::string> tls_ca_bundle;
  std::optional<std::string> tls_min_version;
  std::optional<std::string> tls_host_in_cert;
  std::optional<std::string> tls_client_cert;
  SecretString tls_client_key;
  std::optional<std::string> log_path;
  std::optional<std::string> log_level;
  std::optional<std::string> api_trace_path;
  // Set when "uri" is a zorvane:// connection URI; its settings are merged in
  // at Init, under the options set on their own (recorded in explicit_keys).
  std::optional<ConnectionUri> connection_uri;
  std::set<std::string> explicit_keys;
  std::set<std::string> merged_keys;  // options the last merge took from the URI
  // The connection pool of every connection opened on this database, so that
  // a new connection's first request finds the compute node and the control
  // plane already connected. Null when libcurl could not make one.
  std::shared_ptr<ConnectionShare> connection_pool;
  bool initialised = false;
};

AdbcStatusCode DatabaseNew(AdbcDatabase* database, AdbcError* error);
AdbcStatusCode DatabaseSetOption(AdbcDatabase* database, const char* key, const char* value,
                                 AdbcError* error);
AdbcStatusCode DatabaseInit(AdbcDatabase* database, AdbcError* error);
AdbcStatusCode DatabaseRelease(AdbcDatabase* database, AdbcError* error);

// Every option a database takes (database_options.cc).
OptionTable<ZVDatabase> DatabaseOptions();

// Sets "uri" (the row's check has refused an empty one): a plain http(s) URL
// is the service address as given; a zorvane:// URI is taken apart and checked
// now, so that a bad parameter is reported by the call that set it, and merged
// with the other options at Init.
arrow::Status SetDatabaseUri(ZVDatabase& db, const char* value);

// Text of an optional option, or `fallback` when unset.
inline const char* OptionText(const std::optional<std::string>& value,
                              const char* fallback = nullptr) {
  return value ? value->c_str() : fallback;
}

}  // namespace zv
