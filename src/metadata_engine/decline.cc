#include "metadata_engine/decline_internal.h"

#include <memory>

namespace zv_sql::internal {

namespace {

class DeclineDetail : public arrow::StatusDetail {
 public:
  static constexpr const char* kTypeId = "zv_sql::decline";
  const char* type_id() const override { return kTypeId; }
  std::string ToString() const override { return "declined"; }
};

}  // namespace

arrow::Status decline(std::string reason) {
  return arrow::Status(arrow::StatusCode::NotImplemented, std::move(reason),
                       std::make_shared<DeclineDetail>());
}

std::optional<std::string> declined_reason(const arrow::Status& status) {
  if (status.ok() || !status.detail()) return std::nullopt;
  if (std::string(status.detail()->type_id()) != DeclineDetail::kTypeId) return std::nullopt;
  return status.message();
}

}  // namespace zv_sql::internal
