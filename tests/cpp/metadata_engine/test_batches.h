// Small record batches written as JSON, for the engine's tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <arrow/array.h>
#include <arrow/json/from_string.h>
#include <arrow/record_batch.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

namespace zv_sql::testing {

struct ColumnSpec {
  std::string name;
  std::shared_ptr<arrow::DataType> type;
  std::string values_json;
};

inline std::shared_ptr<arrow::RecordBatch> make_batch(const std::vector<ColumnSpec>& columns) {
  arrow::FieldVector fields;
  arrow::ArrayVector arrays;
  int64_t rows = 0;
  for (const ColumnSpec& column : columns) {
    auto array = arrow::json::ArrayFromJSONString(column.type, column.values_json);
    EXPECT_TRUE(array.ok()) << column.name << ": " << array.status().ToString();
    if (!array.ok()) return nullptr;
    rows = (*array)->length();
    fields.push_back(arrow::field(column.name, column.type));
    arrays.push_back(*array);
  }
  return arrow::RecordBatch::Make(arrow::schema(fields), rows, arrays);
}

// One array as JSON text, for readable expectations.
inline std::string to_json_values(const std::shared_ptr<arrow::Array>& array) {
  return array->ToString();
}

}  // namespace zv_sql::testing
