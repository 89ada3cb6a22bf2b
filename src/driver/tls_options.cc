#include "driver/tls_options.h"

#include "driver/database.h"
#include "driver/option_values.h"

namespace zv {

zv_tls_config TlsConfigFromDatabase(const ZVDatabase& db) {
  zv_tls_config cfg;
  const char* encrypt = OptionText(db.tls_encrypt);
  if (EqualsIgnoreAsciiCase(encrypt, "off")) cfg.encrypt = kEncryptOff;
  if (EqualsIgnoreAsciiCase(encrypt, "mandatory")) cfg.encrypt = kEncryptMandatory;
  if (EqualsIgnoreAsciiCase(encrypt, "strict")) cfg.encrypt = kEncryptStrict;
  cfg.trust_server_cert =
      ParseBooleanText(OptionText(db.tls_trust_server_cert)).value_or(false) ? 1 : 0;
  if (db.tls_min_version) {
    const std::string& v = *db.tls_min_version;
    cfg.min_version = v == "1.0" ? 10 : v == "1.1" ? 11 : v == "1.2" ? 12 : v == "1.3" ? 13 : 0;
  }
  cfg.host_in_cert = db.tls_host_in_cert.value_or("");
  cfg.ca_bundle = db.tls_ca_bundle.value_or("");
  cfg.client_cert = db.tls_client_cert.value_or("");
  cfg.client_key = std::string(db.tls_client_key.view());
  return cfg;
}

}  // namespace zv
