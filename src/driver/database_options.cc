// The database's option table: every key AdbcDatabaseSetOption takes, none of
// them after AdbcDatabaseInit.

#include <adbc.h>

#include "diagnostics/log.h"
#include "driver/database.h"
#include "driver/option_table.h"

namespace zv {

namespace {

using Row = OptionDescriptor<ZVDatabase>;
using Type = OptionValueType;

bool IsNonEmpty(const char* value) { return value != nullptr && value[0] != '\0'; }
bool IsLogLevel(const char* value) { return value != nullptr && ParseLogLevel(value); }

// "uri" is a plain service URL or a zorvane:// URI taken apart now
// (SetDatabaseUri), so it has an access of its own.
constexpr OptionAccess<ZVDatabase> kUri{
    [](ZVDatabase& db, const char* value) { return SetDatabaseUri(db, value); },
    TextOption<&ZVDatabase::uri>().read, nullptr};

constexpr auto kTimeout = IntegerOption<&ZVDatabase::connect_timeout_sec, ParseDatabaseInteger>();
constexpr auto kBuffer = IntegerOption<&ZVDatabase::max_stream_buffer_mb, ParseDatabaseInteger>();

// key, type, check, refusal, field, secret, after Init.
constexpr Row kDatabaseOptions[] = {
    {ADBC_OPTION_URI, Type::kText, IsNonEmpty, "uri must be a non-empty string", kUri, false,
     false},
    {ADBC_OPTION_USERNAME, Type::kText, nullptr, nullptr, TextOption<&ZVDatabase::username>(),
     false, false},
    {ADBC_OPTION_PASSWORD, Type::kText, nullptr, nullptr, SecretTextOption<&ZVDatabase::password>(),
     true, false},
    {"adbc.zorvane.session_token", Type::kText, nullptr, nullptr,
     SecretTextOption<&ZVDatabase::session_token>(), true, false},
    {"adbc.zorvane.compute_url", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::compute_url>(), false, false},
    {"adbc.zorvane.compute_node", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::compute_node>(), false, false},
    {"adbc.zorvane.application_name", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::application_name>(), false, false},
    {"adbc.zorvane.proxy_url", Type::kText, nullptr, nullptr, TextOption<&ZVDatabase::proxy_url>(),
     false, false},
    {"adbc.zorvane.proxy_user", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::proxy_user>(), false, false},
    {"adbc.zorvane.proxy_pass", Type::kText, nullptr, nullptr,
     SecretTextOption<&ZVDatabase::proxy_pass>(), true, false},
    {"adbc.zorvane.connect_timeout_sec", Type::kInteger, IsDatabaseInteger,
     "adbc.zorvane.connect_timeout_sec must be a non-negative integer (0 means use the driver "
     "default)",
     kTimeout, false, false},
    {"adbc.zorvane.max_stream_buffer_mb", Type::kInteger, IsDatabaseInteger,
     "adbc.zorvane.max_stream_buffer_mb must be a non-negative integer in MB (0 means use the "
     "driver default of 256 MB)",
     kBuffer, false, false},
    {"adbc.zorvane.tls.encrypt", Type::kChoice, IsTlsEncryptMode,
     "adbc.zorvane.tls.encrypt must be one of Off, Optional, Mandatory, Strict",
     TextOption<&ZVDatabase::tls_encrypt>(), false, false},
    {"adbc.zorvane.tls.trust_server_cert", Type::kBoolean, IsBooleanText,
     "adbc.zorvane.tls.trust_server_cert must be true or false",
     FlagTextOption<&ZVDatabase::tls_trust_server_cert>(), false, false},
    {"adbc.zorvane.tls.ca_bundle", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::tls_ca_bundle>(), false, false},
    {"adbc.zorvane.tls.min_version", Type::kChoice, IsTlsMinVersion,
     "adbc.zorvane.tls.min_version must be 1.0, 1.1, 1.2, 1.3, or 'any'",
     TextOption<&ZVDatabase::tls_min_version>(), false, false},
    {"adbc.zorvane.tls.host_in_cert", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::tls_host_in_cert>(), false, false},
    {"adbc.zorvane.tls.client_cert", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::tls_client_cert>(), false, false},
    {"adbc.zorvane.tls.client_key", Type::kText, nullptr, nullptr,
     SecretTextOption<&ZVDatabase::tls_client_key>(), true, false},
    {"adbc.zorvane.api_trace_path", Type::kText, nullptr, nullptr,
     TextOption<&ZVDatabase::api_trace_path>(), false, false},
    {"adbc.zorvane.log_path", Type::kText, nullptr, nullptr, TextOption<&ZVDatabase::log_path>(),
     false, false},
    {"adbc.zorvane.log_level", Type::kChoice, IsLogLevel,
     "adbc.zorvane.log_level must be one of off, error, warn, info, debug, trace",
     TextOption<&ZVDatabase::log_level>(), false, false},
};

}  // namespace

OptionTable<ZVDatabase> DatabaseOptions() { return kDatabaseOptions; }

}  // namespace zv
