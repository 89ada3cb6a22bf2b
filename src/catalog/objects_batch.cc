#include "catalog/objects_batch.h"

#include <arrow/array/builder_binary.h>
#include <arrow/array/builder_nested.h>
#include <arrow/array/builder_primitive.h>
#include <arrow/array/util.h>
#include <arrow/builder.h>
#include <arrow/type.h>

#include <limits>
#include <optional>
#include <string>

#include "util/failure.h"
#include "catalog/xdbc_type_info_internal.h"
#include "util/format.h"

namespace zv {

namespace {

constexpr size_t kArrowMessageBuffer = 256;

arrow::Status StepFailure(const char* label, const arrow::Status& status) {
  return Failure(
      FailureKind::kInternal, "HY000",
      Bounded(Format("AdbcConnectionGetObjects: %s failed: %s", label, status.ToString().c_str()),
              kArrowMessageBuffer));
}

// Runs one builder step; a failure is reported under the step's label.
#define ZV_STEP(label, expr)                         \
  do {                                               \
    ::arrow::Status _st = (expr);                    \
    if (!_st.ok()) return StepFailure((label), _st); \
  } while (0)

using arrow::field;

std::shared_ptr<arrow::DataType> ColumnStruct() {
  return arrow::struct_({
      field("column_name", arrow::utf8(), /*nullable=*/false),
      field("ordinal_position", arrow::int32()),
      field("remarks", arrow::utf8()),
      field("xdbc_data_type", arrow::int16()),
      field("xdbc_type_name", arrow::utf8()),
      field("xdbc_column_size", arrow::int32()),
      field("xdbc_decimal_digits", arrow::int16()),
      field("xdbc_num_prec_radix", arrow::int16()),
      field("xdbc_nullable", arrow::int16()),
      field("xdbc_column_def", arrow::utf8()),
      field("xdbc_sql_data_type", arrow::int16()),
      field("xdbc_datetime_sub", arrow::int16()),
      field("xdbc_char_octet_length", arrow::int32()),
      field("xdbc_is_nullable", arrow::utf8()),
      field("xdbc_scope_catalog", arrow::utf8()),
      field("xdbc_scope_schema", arrow::utf8()),
      field("xdbc_scope_table", arrow::utf8()),
      field("xdbc_is_autoincrement", arrow::boolean()),
      field("xdbc_is_generatedcolumn", arrow::boolean()),
  });
}

std::shared_ptr<arrow::DataType> ConstraintStruct() {
  auto usage = arrow::struct_({
      field("fk_catalog", arrow::utf8()),
      field("fk_db_schema", arrow::utf8()),
      field("fk_table", arrow::utf8(), /*nullable=*/false),
      field("fk_column_name", arrow::utf8(), /*nullable=*/false),
  });
  return arrow::struct_({
      field("constraint_name", arrow::utf8()),
      field("constraint_type", arrow::utf8(), /*nullable=*/false),
      field("constraint_column_names", arrow::list(arrow::utf8()), /*nullable=*/false),
      field("constraint_column_usage", arrow::list(usage)),
  });
}

std::shared_ptr<arrow::DataType> DbSchemasType() {
  auto table = arrow::struct_({
      field("table_name", arrow::utf8(), /*nullable=*/false),
      field("table_type", arrow::utf8(), /*nullable=*/false),
      field("table_columns", arrow::list(ColumnStruct())),
      field("table_constraints", arrow::list(ConstraintStruct())),
  });
  auto db_schema = arrow::struct_({
      field("db_schema_name", arrow::utf8()),
      field("db_schema_tables", arrow::list(table)),
  });
  return arrow::list(db_schema);
}

// -1 is the snapshot's and the type table's spelling of null; values the
// result field cannot hold are reported as unknown rather than wrapped.
template <typename T>
std::optional<T> Narrow(std::optional<int64_t> value) {
  if (!value || *value == -1) return std::nullopt;
  if (*value < std::numeric_limits<T>::min() || *value > std::numeric_limits<T>::max()) {
    return std::nullopt;
  }
  return static_cast<T>(*value);
}

template <typename Builder, typename T>
arrow::Status AppendOptional(Builder* builder, std::optional<T> value) {
  return value ? builder->Append(*value) : builder->AppendNull();
}

arrow::Status AppendOptionalText(arrow::StringBuilder* builder,
                                 const std::optional<std::string>& value) {
  return value ? builder->Append(*value) : builder->AppendNull();
}

std::optional<int64_t> Known(int64_t type_default) {
  return type_default == -1 ? std::nullopt : std::optional<int64_t>(type_default);
}

// Typed views of the nested builder's children, in schema order.
struct ColumnBuilders {
  arrow::StructBuilder* column = nullptr;
  arrow::StringBuilder* name = nullptr;
  arrow::Int32Builder* ordinal = nullptr;
  arrow::StringBuilder* remarks = nullptr;
  arrow::Int16Builder* data_type = nullptr;
  arrow::StringBuilder* type_name = nullptr;
  arrow::Int32Builder* column_size = nullptr;
  arrow::Int16Builder* decimal_digits = nullptr;
  arrow::Int16Builder* num_prec_radix = nullptr;
  arrow::Int16Builder* nullable = nullptr;
  arrow::StringBuilder* column_def = nullptr;
  arrow::Int16Builder* sql_data_type = nullptr;
  arrow::Int16Builder* datetime_sub = nullptr;
  arrow::Int32Builder* char_octet_length = nullptr;
  arrow::StringBuilder* is_nullable = nullptr;
  arrow::StringBuilder* scope_catalog = nullptr;
  arrow::StringBuilder* scope_schema = nullptr;
  arrow::StringBuilder* scope_table = nullptr;
  arrow::BooleanBuilder* is_autoincrement = nullptr;
  arrow::BooleanBuilder* is_generated = nullptr;

  explicit ColumnBuilders(arrow::StructBuilder* b) : column(b) {
    auto s = [b](int i) { return static_cast<arrow::StringBuilder*>(b->field_builder(i)); };
    auto i16 = [b](int i) { return static_cast<arrow::Int16Builder*>(b->field_builder(i)); };
    auto i32 = [b](int i) { return static_cast<arrow::Int32Builder*>(b->field_builder(i)); };
    auto flag = [b](int i) { return static_cast<arrow::BooleanBuilder*>(b->field_builder(i)); };
    name = s(0), ordinal = i32(1), remarks = s(2), data_type = i16(3), type_name = s(4);
    column_size = i32(5), decimal_digits = i16(6), num_prec_radix = i16(7), nullable = i16(8);
    column_def = s(9), sql_data_type = i16(10), datetime_sub = i16(11);
    char_octet_length = i32(12), is_nullable = s(13), scope_catalog = s(14);
    scope_schema = s(15), scope_table = s(16), is_autoincrement = flag(17);
    is_generated = flag(18);
  }
};

struct Builders {
  arrow::ListBuilder* db_schemas;
  arrow::StructBuilder* db_schema;
  arrow::StringBuilder* db_schema_name;
  arrow::ListBuilder* tables;
  arrow::StructBuilder* table;
  arrow::StringBuilder* table_name;
  arrow::StringBuilder* table_type;
  arrow::ListBuilder* columns;
  ColumnBuilders column;
  arrow::ListBuilder* constraints;
  arrow::StructBuilder* constraint;
  arrow::StringBuilder* constraint_name;
  arrow::StringBuilder* constraint_type;
  arrow::ListBuilder* constraint_colnames;
  arrow::StringBuilder* constraint_column_name;
  arrow::ListBuilder* constraint_usage;
  arrow::StructBuilder* usage;
  arrow::StringBuilder* fk_catalog;
  arrow::StringBuilder* fk_db_schema;
  arrow::StringBuilder* fk_table;
  arrow::StringBuilder* fk_column_name;

  static Builders Over(arrow::ListBuilder* db_schemas) {
    auto* db_schema = static_cast<arrow::StructBuilder*>(db_schemas->value_builder());
    auto* tables = static_cast<arrow::ListBuilder*>(db_schema->field_builder(1));
    auto* table = static_cast<arrow::StructBuilder*>(tables->value_builder());
    auto* columns = static_cast<arrow::ListBuilder*>(table->field_builder(2));
    auto* constraints = static_cast<arrow::ListBuilder*>(table->field_builder(3));
    auto* constraint = static_cast<arrow::StructBuilder*>(constraints->value_builder());
    auto* colnames = static_cast<arrow::ListBuilder*>(constraint->field_builder(2));
    auto* usages = static_cast<arrow::ListBuilder*>(constraint->field_builder(3));
    auto* usage = static_cast<arrow::StructBuilder*>(usages->value_builder());
    return Builders{
        db_schemas,
        db_schema,
        static_cast<arrow::StringBuilder*>(db_schema->field_builder(0)),
        tables,
        table,
        static_cast<arrow::StringBuilder*>(table->field_builder(0)),
        static_cast<arrow::StringBuilder*>(table->field_builder(1)),
        columns,
        ColumnBuilders(static_cast<arrow::StructBuilder*>(columns->value_builder())),
        constraints,
        constraint,
        static_cast<arrow::StringBuilder*>(constraint->field_builder(0)),
        static_cast<arrow::StringBuilder*>(constraint->field_builder(1)),
        colnames,
        static_cast<arrow::StringBuilder*>(colnames->value_builder()),
        usages,
        usage,
        static_cast<arrow::StringBuilder*>(usage->field_builder(0)),
        static_cast<arrow::StringBuilder*>(usage->field_builder(1)),
        static_cast<arrow::StringBuilder*>(usage->field_builder(2)),
        static_cast<arrow::StringBuilder*>(usage->field_builder(3)),
    };
  }
};

arrow::Status AppendColumn(const ColumnBuilders& b, const TableNode& table, const ColumnRecord& c) {
  const XdbcTypeInfo info = XdbcTypeInfoFor(c.data_type);
  const auto column_size = c.character_maximum_length ? c.character_maximum_length
                           : c.numeric_precision      ? c.numeric_precision
                                                      : Known(info.column_size);
  const auto radix = c.numeric_precision ? c.numeric_precision_radix : Known(info.num_prec_radix);
  const auto decimal_digits = c.numeric_scale ? c.numeric_scale : Known(info.decimal_digits);
  const auto octet_length =
      c.character_octet_length ? c.character_octet_length : Known(info.char_octet_length);
  const bool datetime = info.sql_type == 91 || info.sql_type == 92 || info.sql_type == 93;
  const int32_t ordinal = Narrow<int32_t>(c.ordinal).value_or(-1);

  ZV_STEP("column_sb.Append", b.column->Append());
  ZV_STEP("column_name.Append", b.name->Append(c.name));
  ZV_STEP("column_ordinal.Append", b.ordinal->Append(ordinal));
  ZV_STEP("remarks.Append", AppendOptionalText(b.remarks, c.description));
  ZV_STEP("xdbc_data_type.Append", b.data_type->Append(info.sql_type));
  // The service's own name of the type (as ODBC's TYPE_NAME is the data
  // source's), also for types the codes above only approximate.
  ZV_STEP("xdbc_type_name.Append",
          c.data_type.empty() ? b.type_name->AppendNull() : b.type_name->Append(c.data_type));
  ZV_STEP("xdbc_column_size.Append", AppendOptional(b.column_size, Narrow<int32_t>(column_size)));
  ZV_STEP("xdbc_decimal_digits.Append",
          AppendOptional(b.decimal_digits, Narrow<int16_t>(decimal_digits)));
  ZV_STEP("xdbc_num_prec_radix.Append", AppendOptional(b.num_prec_radix, Narrow<int16_t>(radix)));
  ZV_STEP("xdbc_nullable.Append", b.nullable->Append(c.nullable ? 1 : 0));
  ZV_STEP("xdbc_column_def.Append", AppendOptionalText(b.column_def, c.default_value));
  ZV_STEP("xdbc_sql_data_type.Append", b.sql_data_type->Append(info.sql_type));
  ZV_STEP("xdbc_datetime_sub.Append",
          datetime ? b.datetime_sub->Append(info.sql_type) : b.datetime_sub->AppendNull());
  ZV_STEP("xdbc_char_octet_length.Append",
          AppendOptional(b.char_octet_length, Narrow<int32_t>(octet_length)));
  ZV_STEP("xdbc_is_nullable.Append", b.is_nullable->Append(c.nullable ? "YES" : "NO"));
  ZV_STEP("xdbc_scope_catalog.Append", b.scope_catalog->Append(table.catalog));
  ZV_STEP("xdbc_scope_schema.Append", b.scope_schema->Append(table.schema));
  ZV_STEP("xdbc_scope_table.Append", b.scope_table->Append(table.name));
  ZV_STEP("xdbc_is_autoincrement.Append", b.is_autoincrement->Append(c.is_identity));
  ZV_STEP("xdbc_is_generatedcolumn.Append", b.is_generated->Append(c.is_generated));
  return arrow::Status::OK();
}

arrow::Status AppendConstraint(const Builders& b, const ConstraintRecord& constraint) {
  ZV_STEP("constraint_sb.Append", b.constraint->Append());
  ZV_STEP("constraint_name.Append", b.constraint_name->Append(constraint.name));
  ZV_STEP("constraint_type.Append", b.constraint_type->Append(constraint.type));
  ZV_STEP("constraint_colnames_lb.Append", b.constraint_colnames->Append());
  for (const std::string& column : constraint.column_names) {
    ZV_STEP("constraint_column_name.Append", b.constraint_column_name->Append(column));
  }
  if (!constraint.usage) {
    ZV_STEP("constraint_usage_lb.AppendNull", b.constraint_usage->AppendNull());
    return arrow::Status::OK();
  }
  ZV_STEP("constraint_usage_lb.Append", b.constraint_usage->Append());
  for (const ForeignKeyUsage& usage : *constraint.usage) {
    ZV_STEP("usage_sb.Append", b.usage->Append());
    ZV_STEP("fk_catalog.Append", b.fk_catalog->Append(usage.catalog));
    ZV_STEP("fk_db_schema.Append", b.fk_db_schema->Append(usage.schema));
    ZV_STEP("fk_table.Append", b.fk_table->Append(usage.table));
    ZV_STEP("fk_column_name.Append", b.fk_column_name->Append(usage.column));
  }
  return arrow::Status::OK();
}

arrow::Status AppendTable(const Builders& b, const TableNode& table, ObjectsDepth depth) {
  ZV_STEP("table_sb.Append", b.table->Append());
  ZV_STEP("table_name.Append", b.table_name->Append(table.name));
  ZV_STEP("table_type.Append", b.table_type->Append(table.type));
  // Below depth "all" a table carries neither columns nor constraints, and
  // both lists are null rather than empty.
  if (depth != ObjectsDepth::kAll) {
    ZV_STEP("table_columns_lb.AppendNull", b.columns->AppendNull());
    ZV_STEP("table_constraints_lb.AppendNull", b.constraints->AppendNull());
    return arrow::Status::OK();
  }
  ZV_STEP("table_columns_lb.Append", b.columns->Append());
  for (const ColumnRecord& column : table.columns) {
    ARROW_RETURN_NOT_OK(AppendColumn(b.column, table, column));
  }
  ZV_STEP("table_constraints_lb.Append", b.constraints->Append());
  for (const ConstraintRecord& constraint : table.constraints) {
    ARROW_RETURN_NOT_OK(AppendConstraint(b, constraint));
  }
  return arrow::Status::OK();
}

arrow::Status AppendSchema(const Builders& b, const SchemaNode& schema, ObjectsDepth depth) {
  ZV_STEP("db_schema_sb.Append", b.db_schema->Append());
  ZV_STEP("db_schema_name.Append", b.db_schema_name->Append(schema.name));
  if (depth == ObjectsDepth::kSchemas) {
    ZV_STEP("db_schema_tables_lb.AppendNull", b.tables->AppendNull());
    return arrow::Status::OK();
  }
  ZV_STEP("db_schema_tables_lb.Append", b.tables->Append());
  for (const TableNode& table : schema.tables) {
    ARROW_RETURN_NOT_OK(AppendTable(b, table, depth));
  }
  return arrow::Status::OK();
}

#undef ZV_STEP

}  // namespace

std::shared_ptr<arrow::Schema> GetObjectsSchema() {
  return arrow::schema(
      {field("catalog_name", arrow::utf8()), field("catalog_db_schemas", DbSchemasType())});
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildObjectsBatch(
    const std::vector<CatalogNode>& catalogs, ObjectsDepth depth) {
  auto schema = GetObjectsSchema();
  std::unique_ptr<arrow::ArrayBuilder> nested;
  arrow::Status made =
      arrow::MakeBuilder(arrow::default_memory_pool(), schema->field(1)->type(), &nested);
  if (!made.ok()) {
    return Failure(
        FailureKind::kInternal, "HY000",
        Bounded("AdbcConnectionGetObjects: MakeBuilder(db_schemas) failed: " + made.ToString(),
                kArrowMessageBuffer));
  }
  const Builders b = Builders::Over(static_cast<arrow::ListBuilder*>(nested.get()));
  arrow::StringBuilder catalog_names;

  for (const CatalogNode& catalog : catalogs) {
    arrow::Status st = catalog_names.Append(catalog.name);
    if (!st.ok()) return StepFailure("catalog_name.Append", st);
    if (depth == ObjectsDepth::kCatalogs) {
      st = b.db_schemas->AppendNull();
      if (!st.ok()) return StepFailure("db_schemas_lb.AppendNull", st);
      continue;
    }
    st = b.db_schemas->Append();
    if (!st.ok()) return StepFailure("db_schemas_lb.Append", st);
    for (const SchemaNode& schema : catalog.schemas) {
      ARROW_RETURN_NOT_OK(AppendSchema(b, schema, depth));
    }
  }

  std::shared_ptr<arrow::Array> names;
  if (auto st = catalog_names.Finish(&names); !st.ok()) {
    return StepFailure("catalog_name.Finish", st);
  }
  std::shared_ptr<arrow::Array> db_schemas;
  if (auto st = nested->Finish(&db_schemas); !st.ok()) {
    return StepFailure("db_schemas.Finish", st);
  }
  return arrow::RecordBatch::Make(std::move(schema), names->length(), {names, db_schemas});
}

arrow::Result<std::shared_ptr<arrow::RecordBatch>> BuildEmptyObjectsBatch() {
  auto schema = GetObjectsSchema();
  std::vector<std::shared_ptr<arrow::Array>> arrays;
  for (const auto& f : schema->fields()) {
    auto empty = arrow::MakeEmptyArray(f->type());
    if (!empty.ok()) {
      return Failure(
          FailureKind::kInternal, "HY000",
          Bounded("AdbcConnectionGetObjects: MakeEmptyArray failed: " + empty.status().ToString(),
                  kArrowMessageBuffer));
    }
    arrays.push_back(*std::move(empty));
  }
  return arrow::RecordBatch::Make(std::move(schema), 0, std::move(arrays));
}

}  // namespace zv
