// The table an ingest writes to, as the host named it: a table name with an
// optional schema and catalog, each one identifier however it is spelled.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/sql_identifier.h"

namespace zv {

struct IngestSettings;

struct TableName {
  std::optional<std::string> catalog;
  std::optional<std::string> db_schema;
  std::string table;

  static TableName FromSettings(const IngestSettings& settings);

  // "cat"."schema"."table" with the parts that are set.
  std::string Quoted() const;
};

}  // namespace zv
