// The engine compares SQL identifiers and type names ASCII case-insensitively.
#pragma once

#include "util/ascii.h"

namespace zv_sql {

using zv::ascii_iequals;
using zv::ascii_lower;

}  // namespace zv_sql
