#include "ingest/table_name_internal.h"

#include "ingest/ingest_options.h"

namespace zv {

std::string QuoteIdentifier(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('"');
  for (const char ch : name) {
    if (ch == '"') out.push_back('"');
    out.push_back(ch);
  }
  out.push_back('"');
  return out;
}

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
