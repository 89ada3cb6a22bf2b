#include "metadata_engine/text_rules_internal.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <arrow/array.h>
#include <arrow/array/util.h>
#include <arrow/compute/api.h>
#include <arrow/scalar.h>
#include <arrow/type.h>

#include "metadata_engine/decline_internal.h"

namespace zv_sql::internal {

namespace cp = arrow::compute;

namespace {

using Id = arrow::Type::type;

bool is_int(Id id) { return id == Id::INT16 || id == Id::INT32 || id == Id::INT64; }
bool is_float(Id id) { return id == Id::FLOAT || id == Id::DOUBLE; }

// Text the engine parses as the service does: plain decimal digits for
// integers (no hexadecimal, blanks or digit separators), plain decimal
// notation for doubles (no NaN or infinity words), ISO dates and times.
const char* text_pattern_for(Id target) {
  if (is_int(target)) return "^[+-]?[0-9]+$";
  if (target == Id::DOUBLE) return "^[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?$";
  if (target == Id::DATE32) return "^[0-9]{4}-[0-9]{2}-[0-9]{2}$";
  if (target == Id::TIMESTAMP) return "^[0-9]{4}-[0-9]{2}-[0-9]{2}( [0-9]{2}:[0-9]{2}:[0-9]{2})?$";
  return nullptr;
}

arrow::Result<bool> all_match(const arrow::Datum& value, const char* pattern) {
  std::shared_ptr<arrow::Array> array;
  if (value.is_scalar()) {
    ARROW_ASSIGN_OR_RAISE(array, arrow::MakeArrayFromScalar(*value.scalar(), 1));
  } else {
    array = value.make_array();
  }
  cp::MatchSubstringOptions options(pattern);
  ARROW_ASSIGN_OR_RAISE(arrow::Datum matched,
                        cp::CallFunction("match_substring_regex", {array}, &options));
  ARROW_ASSIGN_OR_RAISE(arrow::Datum all,
                        cp::All(matched, cp::ScalarAggregateOptions(/*skip_nulls=*/true, 0)));
  const auto& result = all.scalar_as<arrow::BooleanScalar>();
  return !result.is_valid || result.value;
}

// Conversions between these types give the same values (or fail alike) here
// and on the service, text parsed only in the forms text_pattern_for allows.
bool same_conversion(Id from, Id to) {
  if (from == to || from == Id::NA) return true;
  if ((is_int(from) || is_float(from) || from == Id::BOOL) && (is_int(to) || is_float(to)))
    return from != Id::BOOL || is_int(to);
  if ((is_int(from) || from == Id::BOOL || from == Id::DATE32) && to == Id::STRING) return true;
  if (is_int(from) && to == Id::BOOL) return true;
  if ((from == Id::DATE32 && to == Id::TIMESTAMP) || (from == Id::TIMESTAMP && to == Id::DATE32))
    return true;
  return from == Id::STRING && text_pattern_for(to) != nullptr;
}

// Characters whose case mapping differs between the engine's Unicode tables
// and the service's (letters of recent Unicode versions), as ranges of code
// points. Found by mapping every code point both ways with the pinned library
// versions; tests/python/metadata_engine/test_case_mapping.py checks the list.
constexpr std::array<std::pair<uint32_t, uint32_t>, 21> kCaseMappingDiffers = {{
    {0x19B, 0x19B},     {0x264, 0x264},     {0x277, 0x277},     {0x27C, 0x27C},
    {0x1C89, 0x1C8A},   {0xA7CB, 0xA7CF},   {0xA7D2, 0xA7D5},   {0xA7DA, 0xA7DD},
    {0xA7E2, 0xA7E2},   {0xAB4B, 0xAB4C},   {0xAB6C, 0xAB6D},   {0x10D50, 0x10D65},
    {0x10D70, 0x10D85}, {0x16EA0, 0x16EB8}, {0x16EBB, 0x16ED3}, {0x1DF40, 0x1DF41},
    {0x1DF48, 0x1DF4B}, {0x1DF4D, 0x1DF4E}, {0x1DF51, 0x1DF52}, {0x1DF68, 0x1DF6F},
    {0x1DF72, 0x1DF7F},
}};

bool mapping_differs(uint32_t code_point) {
  for (const auto& [first, last] : kCaseMappingDiffers) {
    if (code_point >= first && code_point <= last) return true;
  }
  return false;
}

// Whether valid UTF-8 `text` holds a character of the table. ASCII text is
// skipped at once: every listed character is at least two bytes long.
bool holds_differing_character(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    uint32_t code_point = lead & (0x7F >> length);
    for (int k = 1; k < length && i + k < text.size(); ++k) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    if (mapping_differs(code_point)) return true;
    i += length;
  }
  return false;
}

}  // namespace

arrow::Status check_cast(const arrow::Datum& value, const arrow::DataType& target) {
  const Id from = value.type()->id();
  if (!same_conversion(from, target.id())) {
    return decline("cast of " + value.type()->ToString() + " to " + target.ToString() +
                   " is left to compute: the service converts it differently or not at all");
  }
  if (from != Id::STRING || target.id() == Id::STRING) return arrow::Status::OK();
  ARROW_ASSIGN_OR_RAISE(bool plain, all_match(value, text_pattern_for(target.id())));
  if (!plain) return decline("cast of text the service reads its own way is left to compute");
  return arrow::Status::OK();
}

arrow::Status check_case_mapping(const arrow::Datum& value) {
  if (!value.type() || value.type()->id() != Id::STRING) return arrow::Status::OK();
  bool found = false;
  if (value.is_scalar()) {
    const auto& scalar = static_cast<const arrow::StringScalar&>(*value.scalar());
    found = scalar.is_valid && holds_differing_character(scalar.view());
  } else if (value.is_array()) {
    const std::shared_ptr<arrow::Array> array = value.make_array();
    const auto& strings = static_cast<const arrow::StringArray&>(*array);
    for (int64_t i = 0; i < strings.length() && !found; ++i) {
      found = strings.IsValid(i) && holds_differing_character(strings.GetView(i));
    }
  }
  if (found)
    return decline("text with letters whose case the service maps differently is left to compute");
  return arrow::Status::OK();
}

}  // namespace zv_sql::internal
