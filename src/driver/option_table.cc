#include "driver/option_table.h"

namespace zv {

const char* OptionValueTypeName(OptionValueType type) {
  switch (type) {
    case OptionValueType::kText: return "text";
    case OptionValueType::kBoolean: return "boolean";
    case OptionValueType::kInteger: return "integer";
    case OptionValueType::kChoice: return "choice";
    case OptionValueType::kList: return "list";
    case OptionValueType::kNumber: return "number";
  }
  return "text";
}

void StoreOptionalText(std::optional<std::string>& field, const char* value) {
  field.reset();
  if (value == nullptr) return;
  try {
    field.emplace(value);
  } catch (const std::bad_alloc&) {
    field.reset();
  }
}

void StoreSecretText(SecretString& field, const char* value) {
  field.Reset();
  if (value == nullptr) return;
  try {
    field.Assign(value);
  } catch (const std::bad_alloc&) {
    field.Reset();
  }
}

bool IsBooleanText(const char* value) { return ParseBooleanText(value).has_value(); }
bool IsDatabaseInteger(const char* value) { return ParseDatabaseInteger(value).has_value(); }
bool IsConnectionInteger(const char* value) { return ParseConnectionInteger(value).has_value(); }

}  // namespace zv
