#include "metadata_engine/arrow_init_internal.h"

#include <mutex>

#include <arrow/compute/initialize.h>
#include <arrow/util/utf8.h>

namespace zv_sql::internal {

arrow::Status ensure_arrow_initialized() {
  static std::once_flag once;
  static arrow::Status outcome;
  std::call_once(once, [] {
    arrow::util::InitializeUTF8();
    outcome = arrow::compute::Initialize();
  });
  return outcome;
}

}  // namespace zv_sql::internal
