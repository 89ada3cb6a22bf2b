// The TLS settings of a connection and their checks, without libcurl.
#pragma once

#include <arrow/status.h>

#include <cstdint>
#include <string>

namespace zv {

enum TlsEncryptMode : uint32_t {
  kEncryptOff = 0,
  kEncryptOptional = 1,
  kEncryptMandatory = 2,
  kEncryptStrict = 3,
};

// The TLS policy of one connection, applied to every request it makes. Empty
// texts count as unset.
struct zv_tls_config {
  uint32_t encrypt = kEncryptOptional;
  uint32_t trust_server_cert = 0;  // non-zero: verify neither certificate nor host
  uint32_t min_version = 0;        // 0 any, 10..13 = TLS 1.0..1.3
  std::string host_in_cert;
  std::string ca_bundle;
  std::string client_cert;
  std::string client_key;
};

// Checks, before any traffic, that the policy fits `url`: scheme, mode,
// contradictory settings, readable CA, certificate and key files. The message
// of a rejection fits 1024 bytes.
arrow::Status zv_tls_validate(const zv_tls_config* cfg, const char* url);

// How a host-name override reaches the server: the request names the
// certificate host, and libcurl's connect-to mapping ("name:port:host:port")
// sends it to the URL's real host, which may be a DNS name or an address.
// libcurl keys its pooled connections on the connect-to target too, so two
// servers sharing one certificate name and port on different addresses never
// share a connection.
struct HostNameOverride {
  std::string connect_to_entry;
  std::string rewritten_url;
};
// Empty entries when the URL has no host.
HostNameOverride ComputeHostNameOverride(const char* url, const std::string& host_in_cert);

}  // namespace zv
