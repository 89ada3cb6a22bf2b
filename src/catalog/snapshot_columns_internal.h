#pragma once

#include <arrow/array.h>
#include <arrow/record_batch.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace zv {

// A text column of a snapshot relation, looked up by name. The server decides
// each relation's schema, so a column that is missing or not of a string type
// is treated as absent rather than trusted.
class TextColumn {
 public:
  TextColumn() = default;
  TextColumn(const arrow::RecordBatch* batch, const char* name);

  bool present() const { return array_ != nullptr; }
  // Empty when the column is absent or the value null.
  std::optional<std::string_view> at(int64_t row) const;
  // The value, or empty text when absent or null.
  std::string_view text_at(int64_t row) const { return at(row).value_or(std::string_view{}); }

 private:
  std::shared_ptr<arrow::Array> array_;
};

// An integer column (any Arrow integer width) of a snapshot relation; absent
// when missing or not of an integer type.
class IntegerColumn {
 public:
  IntegerColumn() = default;
  IntegerColumn(const arrow::RecordBatch* batch, const char* name);

  bool present() const { return array_ != nullptr; }
  // Empty when the column is absent, the value null, or an unsigned value
  // does not fit int64.
  std::optional<int64_t> at(int64_t row) const;

 private:
  std::shared_ptr<arrow::Array> array_;
};

}  // namespace zv
