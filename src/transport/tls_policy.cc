#include "transport/tls_policy_internal.h"

#include <cstdio>

#include "transport/url.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kValidateBuffer = 1024;
constexpr size_t kApplyBuffer = 256;

arrow::Status ValidationError(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kValidateBuffer));
}

arrow::Status ApplyError(std::string message) {
  return arrow::Status::IOError(Bounded(std::move(message), kApplyBuffer));
}

bool Readable(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

arrow::Status SetOption(CURL* easy, CURLoption option, const char* name, long value) {
  CURLcode rc = curl_easy_setopt(easy, option, value);
  if (rc != CURLE_OK) {
    return ApplyError(Format("libcurl rejected %s: %s (libcurl built without TLS backend?)", name,
                             curl_easy_strerror(rc)));
  }
  return arrow::Status::OK();
}

arrow::Status SetOption(CURL* easy, CURLoption option, const char* name, const char* value) {
  CURLcode rc = curl_easy_setopt(easy, option, value);
  if (rc != CURLE_OK) {
    return ApplyError(Format("libcurl rejected %s: %s (libcurl built without TLS backend?)", name,
                             curl_easy_strerror(rc)));
  }
  return arrow::Status::OK();
}

}  // namespace

HostNameOverride ComputeHostNameOverride(const char* url, const std::string& host_in_cert) {
  const zv_url_parts parts = SplitUrl(url);
  if (parts.host.empty()) return {};
  return {host_in_cert + ":" + parts.port + ":" + parts.host + ":" + parts.port,
          parts.scheme + "://" + host_in_cert + ":" + parts.port + std::string(UrlRest(url))};
}

arrow::Status zv_tls_validate(const zv_tls_config* cfg, const char* url) {
  if (cfg == nullptr) return ValidationError("zv_tls_validate: cfg is NULL");
  if (url == nullptr) return ValidationError("zv_tls_validate: url is NULL");
  const zv_url_parts parts = SplitUrl(url);
  if (parts.scheme.empty()) {
    return ValidationError(
        Format("URL has no scheme; expected http:// or https:// (got '%s')", url));
  }
  if (parts.scheme != "http" && parts.scheme != "https") {
    return ValidationError(Format("unsupported URL scheme '%s'; only http and https are supported",
                                  parts.scheme.c_str()));
  }
  const bool https = parts.scheme == "https";
  if ((cfg->encrypt == kEncryptMandatory || cfg->encrypt == kEncryptStrict) && !https) {
    return ValidationError(Format("Encrypt=%s requires an https:// URL but Server is %s",
                                  cfg->encrypt == kEncryptStrict ? "Strict" : "Mandatory", url));
  }
  if (cfg->encrypt == kEncryptOff && https) {
    return ValidationError(Format(
        "Encrypt=No conflicts with https:// URL %s; use Encrypt=Optional or change the URL to "
        "http://",
        url));
  }
  if (cfg->trust_server_cert && !cfg->ca_bundle.empty()) {
    return ValidationError(Format(
        "TrustServerCertificate=Yes is incompatible with CACertificate=%s; remove one of them",
        cfg->ca_bundle.c_str()));
  }
  if (cfg->trust_server_cert && !cfg->host_in_cert.empty()) {
    return ValidationError(
        "HostNameInCertificate is meaningless when TrustServerCertificate=Yes; remove one of "
        "them");
  }
  switch (cfg->min_version) {
    case 0:
    case 10:
    case 11:
    case 12:
    case 13: break;
    default:
      return ValidationError(Format("MinimumTLSVersion=%d is not a recognized version",
                                    static_cast<int>(cfg->min_version)));
  }
  if (!cfg->ca_bundle.empty() && !Readable(cfg->ca_bundle)) {
    return ValidationError(Format("CACertificate path not readable: %s", cfg->ca_bundle.c_str()));
  }
  if (cfg->client_cert.empty() != cfg->client_key.empty()) {
    return ValidationError(
        Format("Client-cert mTLS requires BOTH SSLCERT and SSLKEY (SSLCERT='%s', SSLKEY='%s')",
               cfg->client_cert.c_str(), cfg->client_key.c_str()));
  }
  if (!cfg->client_cert.empty()) {
    if (!Readable(cfg->client_cert)) {
      return ValidationError(Format("SSLCERT path not readable: %s", cfg->client_cert.c_str()));
    }
    if (!Readable(cfg->client_key)) {
      return ValidationError(Format("SSLKEY path not readable: %s", cfg->client_key.c_str()));
    }
  }
  return arrow::Status::OK();
}

namespace {

long CurlTlsVersion(uint32_t min_version) {
  switch (min_version) {
    case 0: return CURL_SSLVERSION_DEFAULT;
    case 10: return CURL_SSLVERSION_TLSv1_0;
    case 11: return CURL_SSLVERSION_TLSv1_1;
    case 12: return CURL_SSLVERSION_TLSv1_2;
    case 13: return CURL_SSLVERSION_TLSv1_3;
    default: return -1;
  }
}

// Peer and host verification, the minimum version, the CA bundle and the
// client certificate.
arrow::Status ApplyVerification(CURL* easy, const zv_tls_config* cfg) {
  const bool verify = cfg->trust_server_cert == 0;
  ARROW_RETURN_NOT_OK(
      SetOption(easy, CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", verify ? 1L : 0L));
  ARROW_RETURN_NOT_OK(
      SetOption(easy, CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", verify ? 2L : 0L));
  const long version = CurlTlsVersion(cfg->min_version);
  if (version < 0) {
    return ApplyError(Format("internal: bad min TLS version %d (validate should have caught this)",
                             static_cast<int>(cfg->min_version)));
  }
  ARROW_RETURN_NOT_OK(SetOption(easy, CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION", version));
  if (!cfg->ca_bundle.empty()) {
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_CAINFO, cfg->ca_bundle.c_str());
    if (rc != CURLE_OK) {
      return ApplyError(Format("libcurl rejected CACertificate path '%s': %s",
                               cfg->ca_bundle.c_str(), curl_easy_strerror(rc)));
    }
  }
  if (cfg->client_cert.empty()) return arrow::Status::OK();
  ARROW_RETURN_NOT_OK(SetOption(easy, CURLOPT_SSLCERTTYPE, "CURLOPT_SSLCERTTYPE", "PEM"));
  ARROW_RETURN_NOT_OK(
      SetOption(easy, CURLOPT_SSLCERT, "CURLOPT_SSLCERT", cfg->client_cert.c_str()));
  ARROW_RETURN_NOT_OK(SetOption(easy, CURLOPT_SSLKEYTYPE, "CURLOPT_SSLKEYTYPE", "PEM"));
  return SetOption(easy, CURLOPT_SSLKEY, "CURLOPT_SSLKEY", cfg->client_key.c_str());
}

arrow::Status ApplyHostNameOverride(CURL* easy, const zv_tls_config* cfg, const char* url,
                                    CurlSlist* connect_to_out) {
  if (connect_to_out == nullptr) {
    return ApplyError(
        "HostNameInCertificate set but caller did not provide a connect-to list pointer; refusing "
        "to leak");
  }
  const HostNameOverride host_override = ComputeHostNameOverride(url, cfg->host_in_cert);
  if (host_override.connect_to_entry.empty()) {
    return ApplyError(Format("cannot apply HostNameInCertificate: URL '%s' has no host", url));
  }
  CurlSlist connect_to;
  if (!AppendToSlist(connect_to, host_override.connect_to_entry.c_str())) {
    return ApplyError("curl_slist_append failed for connect-to entry");
  }
  CURLcode rc = curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect_to.get());
  if (rc != CURLE_OK) {
    return ApplyError(Format("libcurl rejected CURLOPT_CONNECT_TO: %s", curl_easy_strerror(rc)));
  }
  *connect_to_out = std::move(connect_to);
  rc = curl_easy_setopt(easy, CURLOPT_URL, host_override.rewritten_url.c_str());
  if (rc != CURLE_OK) {
    return ApplyError(Format("libcurl rejected rewritten URL: %s", curl_easy_strerror(rc)));
  }
  return arrow::Status::OK();
}

}  // namespace

arrow::Status zv_tls_apply_to_curl(CURL* easy, const zv_tls_config* cfg, const char* url,
                                   CurlSlist* connect_to_out) {
  if (easy == nullptr || cfg == nullptr || url == nullptr) {
    return ApplyError("zv_tls_apply_to_curl: NULL argument");
  }
  ARROW_RETURN_NOT_OK(ApplyVerification(easy, cfg));
  if (cfg->host_in_cert.empty()) return arrow::Status::OK();
  return ApplyHostNameOverride(easy, cfg, url, connect_to_out);
}

}  // namespace zv
