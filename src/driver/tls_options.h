#pragma once

#include "transport/tls_config.h"

namespace zv {

struct ZVDatabase;

// The TLS policy a connection derives from its database's options: unknown or
// unset modes mean Optional, "any" (or unset) minimum version means 0.
zv_tls_config TlsConfigFromDatabase(const ZVDatabase& db);

}  // namespace zv
