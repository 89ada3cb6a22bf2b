#include "ingest/table_name_internal.h"

#include "ingest/ingest_options.h"

namespace zv {

TableName TableName::FromSettings(const IngestSettings& settings) {
  TableName name;
  name.catalog = settings.target_catalog;
  name.db_schema = settings.target_db_schema;
  name.table = settings.target_table.value_or("");
  return name;
}

std::string TableName::Quoted() const {
  std::string out;
  if (catalog) out += QuoteIdentifier(*catalog) + ".";
  if (db_schema) out += QuoteIdentifier(*db_schema) + ".";
  return out + QuoteIdentifier(table);
}

}  // namespace zv
