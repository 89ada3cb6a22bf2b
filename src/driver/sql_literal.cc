#include "driver/sql_literal.h"

#include <arrow/util/float16.h>
#include <arrow/util/utf8.h>
#include <arrow/visit_type_inline.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>

#include "driver/adbc_status.h"
#include "ingest/column_type.h"

namespace zv {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 to a proleptic Gregorian date.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = y + (*month <= 2 ? 1 : 0);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// "YYYY-MM-DD", with years before 1 written the service's way ("... (BC)").
std::string DateText(int64_t days) {
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  const bool bc = year <= 0;
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), "%04lld-%02u-%02u%s",
                static_cast<long long>(bc ? 1 - year : year), month, day, bc ? " (BC)" : "");
  return buffer;
}

// "HH:MM:SS" plus a fraction of `digits` digits (0: none).
std::string TimeOfDayText(int64_t units_of_day, int64_t units_per_second, int digits) {
  const int64_t seconds = units_of_day / units_per_second;
  const int64_t fraction = units_of_day % units_per_second;
  char buffer[48];
  int n = std::snprintf(
      buffer, sizeof(buffer), "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  if (digits > 0) {
    std::snprintf(buffer + n, sizeof(buffer) - static_cast<size_t>(n), ".%0*lld", digits,
                  static_cast<long long>(fraction));
  }
  return buffer;
}

int64_t UnitsPerSecond(arrow::TimeUnit::type unit) {
  switch (unit) {
    case arrow::TimeUnit::SECOND: return 1;
    case arrow::TimeUnit::MILLI: return 1000;
    case arrow::TimeUnit::MICRO: return 1000000;
    case arrow::TimeUnit::NANO: return 1000000000;
  }
  return 1;
}

int FractionDigits(arrow::TimeUnit::type unit) {
  switch (unit) {
    case arrow::TimeUnit::SECOND: return 0;
    case arrow::TimeUnit::MILLI: return 3;
    case arrow::TimeUnit::MICRO: return 6;
    case arrow::TimeUnit::NANO: return 9;
  }
  return 0;
}

// A standard SQL string literal: quotes doubled, nothing else escaped.
arrow::Result<std::string> QuotedText(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    return Failure(FailureKind::kInvalidData, "22021",
                   "a text parameter contains a NUL character, which SQL text cannot carry");
  }
  static std::once_flag utf8_tables;
  std::call_once(utf8_tables, [] { arrow::util::InitializeUTF8(); });
  if (!arrow::util::ValidateUTF8(reinterpret_cast<const uint8_t*>(text.data()),
                                 static_cast<int64_t>(text.size()))) {
    return Failure(FailureKind::kInvalidData, "22021", "a text parameter is not valid UTF-8");
  }
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

std::string CastText(std::string_view plain_ascii, const char* type) {
  return "CAST('" + std::string(plain_ascii) + "' AS " + type + ")";
}

std::string BlobLiteral(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 4);
  for (unsigned char b : bytes) {
    text += "\\x";
    text += kHex[b >> 4];
    text += kHex[b & 0xF];
  }
  return CastText(text, "BLOB");
}

template <typename Float>
std::string FloatLiteral(Float value, const char* type) {
  if (std::isnan(value)) return CastText("NaN", type);
  if (std::isinf(value)) return CastText(value > 0 ? "Infinity" : "-Infinity", type);
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return CastText(std::string_view(buffer, static_cast<size_t>(result.ptr - buffer)), type);
}

std::string IntegerLiteral(long long value) {
  return value < 0 ? "(" + std::to_string(value) + ")" : std::to_string(value);
}

std::string TimestampText(int64_t value, arrow::TimeUnit::type unit) {
  const int64_t per_second = UnitsPerSecond(unit);
  const int64_t per_day = per_second * kSecondsPerDay;
  const int64_t days = FloorDiv(value, per_day);
  const int64_t of_day = value - days * per_day;
  return DateText(days) + " " + TimeOfDayText(of_day, per_second, FractionDigits(unit));
}

arrow::Status Unsupported(const arrow::DataType& type) {
  return Failure(
      FailureKind::kNotImplemented, "HYC00",
      "parameters of type " + type.ToString() + " cannot be bound (no SQL literal for this type)");
}

// A value the service would store less exactly than it was bound.
arrow::Status Inexact(const arrow::DataType& type, const char* what) {
  return Failure(
      FailureKind::kInvalidData, "22018",
      "a parameter of type " + type.ToString() + " " + what + ", which the service would truncate");
}

// What the service's INTERVAL holds: months, days, microseconds. Arrow's
// month_day_nano carries the microseconds as nanoseconds, which bounds them.
std::string IntervalText(int64_t months, int64_t days, int64_t micros) {
  return CastText(std::to_string(months) + " months " + std::to_string(days) + " days " +
                      std::to_string(micros) + " microseconds",
                  "INTERVAL");
}

constexpr int64_t kMaxIntervalMicros = std::numeric_limits<int64_t>::max() / 1000;

// The SQL type every literal of `type` is cast to: the ingest path's column
// type, plus the types a value can be widened or unwrapped from exactly
// (float16, dictionary, decimal256 of up to 38 digits). Empty for the null
// type, whose only value is the plain NULL.
arrow::Result<std::string> LiteralType(const arrow::DataType& type) {
  switch (type.id()) {
    case arrow::Type::NA: return std::string();
    case arrow::Type::HALF_FLOAT: return std::string("REAL");
    case arrow::Type::DICTIONARY:
      return LiteralType(*static_cast<const arrow::DictionaryType&>(type).value_type());
    case arrow::Type::DECIMAL256: {
      const auto& decimal = static_cast<const arrow::DecimalType&>(type);
      if (decimal.precision() > 38) return Unsupported(type);
      return "DECIMAL(" + std::to_string(decimal.precision()) + ", " +
             std::to_string(decimal.scale()) + ")";
    }
    default: break;
  }
  auto column_type = SqlTypeOf(type);
  if (!column_type.ok()) return Unsupported(type);
  return column_type;
}

struct Renderer {
  const arrow::Array& column;
  int64_t row;
  std::string out;

  // Types without an overload of their own land here.
  arrow::Status Visit(const arrow::DataType& type) { return Unsupported(type); }
  arrow::Status Visit(const arrow::NullType&) {
    out = "NULL";
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::BooleanType&) {
    out = static_cast<const arrow::BooleanArray&>(column).Value(row) ? "TRUE" : "FALSE";
    return arrow::Status::OK();
  }
  // Integers carry their width: a bare literal would be typed by its value
  // (INTEGER for small ones), so the rows of one parameter set would give
  // results of different types. A bare int32 is already an INTEGER.
  template <typename T>
  arrow::enable_if_integer<T, arrow::Status> Visit(const T& type) {
    const auto value = static_cast<const arrow::NumericArray<T>&>(column).Value(row);
    std::string digits;
    if constexpr (std::is_signed_v<decltype(value)>) {
      digits = std::to_string(static_cast<long long>(value));
      if (std::is_same_v<T, arrow::Int32Type> && value > std::numeric_limits<int32_t>::min()) {
        out = IntegerLiteral(value);
        return arrow::Status::OK();
      }
    } else {
      digits = std::to_string(static_cast<unsigned long long>(value));
    }
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    out = "CAST(" + digits + " AS " + sql_type + ")";
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::HalfFloatType&) {
    // Every float16 is exactly a float32.
    const uint16_t bits = static_cast<const arrow::HalfFloatArray&>(column).Value(row);
    out = FloatLiteral(arrow::util::Float16::FromBits(bits).ToFloat(), "REAL");
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::FloatType&) {
    out = FloatLiteral(static_cast<const arrow::FloatArray&>(column).Value(row), "REAL");
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::DoubleType&) {
    out = FloatLiteral(static_cast<const arrow::DoubleArray&>(column).Value(row), "DOUBLE");
    return arrow::Status::OK();
  }
  template <typename T>
  arrow::enable_if_decimal<T, arrow::Status> Visit(const T& type) {
    using ArrayType = typename arrow::TypeTraits<T>::ArrayType;
    const std::string text = static_cast<const ArrayType&>(column).FormatValue(row);
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    out = CastText(text, sql_type.c_str());
    return arrow::Status::OK();
  }
  template <typename T>
  arrow::enable_if_t<arrow::is_string_type<T>::value || arrow::is_string_view_type<T>::value,
                     arrow::Status>
  Visit(const T&) {
    using ArrayType = typename arrow::TypeTraits<T>::ArrayType;
    ARROW_ASSIGN_OR_RAISE(out, QuotedText(static_cast<const ArrayType&>(column).GetView(row)));
    return arrow::Status::OK();
  }
  template <typename T>
  arrow::enable_if_t<arrow::is_binary_type<T>::value || arrow::is_binary_view_type<T>::value ||
                         (arrow::is_fixed_size_binary_type<T>::value &&
                          !arrow::is_decimal_type<T>::value),
                     arrow::Status>
  Visit(const T&) {
    using ArrayType = typename arrow::TypeTraits<T>::ArrayType;
    out = BlobLiteral(static_cast<const ArrayType&>(column).GetView(row));
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::Date32Type&) {
    out = CastText(DateText(static_cast<const arrow::Date32Array&>(column).Value(row)), "DATE");
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::Date64Type&) {
    const int64_t ms = static_cast<const arrow::Date64Array&>(column).Value(row);
    out = CastText(DateText(FloorDiv(ms, kSecondsPerDay * 1000)), "DATE");
    return arrow::Status::OK();
  }
  template <typename T>
  arrow::enable_if_time<T, arrow::Status> Visit(const T& type) {
    using ArrayType = typename arrow::TypeTraits<T>::ArrayType;
    int64_t value = static_cast<const ArrayType&>(column).Value(row);
    int64_t per_second = UnitsPerSecond(type.unit());
    if (value < 0 || value >= per_second * kSecondsPerDay) {
      return Failure(FailureKind::kInvalidData, "22008", "a time parameter lies outside the day");
    }
    int digits = FractionDigits(type.unit());
    if (type.unit() == arrow::TimeUnit::NANO) {
      // The service's TIME keeps microseconds.
      if (value % 1000 != 0) return Inexact(type, "is not a whole microsecond");
      value /= 1000;
      per_second /= 1000;
      digits = 6;
    }
    out = CastText(TimeOfDayText(value, per_second, digits), "TIME");
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::TimestampType& type) {
    const int64_t value = static_cast<const arrow::TimestampArray&>(column).Value(row);
    std::string text = TimestampText(value, type.unit());
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    // A zoned timestamp holds a UTC instant whatever its zone's name, stored
    // to the microsecond.
    if (!type.timezone().empty()) {
      if (type.unit() == arrow::TimeUnit::NANO && value % 1000 != 0) {
        return Inexact(type, "is not a whole microsecond");
      }
      text += "+00";
    }
    out = CastText(text, sql_type.c_str());
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::DurationType& type) {
    const int64_t value = static_cast<const arrow::DurationArray&>(column).Value(row);
    ARROW_RETURN_NOT_OK(LiteralType(type).status());  // nanoseconds have no column type
    int64_t micros = 0;
    if (__builtin_mul_overflow(value, 1000000 / UnitsPerSecond(type.unit()), &micros) ||
        micros > kMaxIntervalMicros || micros < -kMaxIntervalMicros) {
      return Failure(FailureKind::kInvalidData, "22015",
                     "a parameter of type " + type.ToString() + " lies outside the interval range");
    }
    out = IntervalText(0, 0, micros);
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::MonthIntervalType&) {
    out = IntervalText(static_cast<const arrow::MonthIntervalArray&>(column).Value(row), 0, 0);
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::DayTimeIntervalType&) {
    const auto value = static_cast<const arrow::DayTimeIntervalArray&>(column).Value(row);
    out = IntervalText(0, value.days, int64_t{value.milliseconds} * 1000);
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::MonthDayNanoIntervalType& type) {
    const auto value = static_cast<const arrow::MonthDayNanoIntervalArray&>(column).Value(row);
    if (value.nanoseconds % 1000 != 0) return Inexact(type, "is not a whole microsecond");
    out = IntervalText(value.months, value.days, value.nanoseconds / 1000);
    return arrow::Status::OK();
  }
  // Lists of every kind: [v, ...] cast to the list or array type.
  template <typename T>
  arrow::enable_if_t<arrow::is_var_length_list_like_type<T>::value ||
                         arrow::is_fixed_size_list_type<T>::value,
                     arrow::Status>
  Visit(const T& type) {
    using ArrayType = typename arrow::TypeTraits<T>::ArrayType;
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    const std::shared_ptr<arrow::Array> values =
        static_cast<const ArrayType&>(column).value_slice(row);
    ARROW_ASSIGN_OR_RAISE(std::string items, Elements(*values, 0, values->length()));
    out = "CAST([" + items + "] AS " + sql_type + ")";
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::MapType& type) {
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    const auto& map = static_cast<const arrow::MapArray&>(column);
    const int64_t first = map.value_offset(row), count = map.value_length(row);
    ARROW_ASSIGN_OR_RAISE(std::string keys, Elements(*map.keys(), first, count));
    ARROW_ASSIGN_OR_RAISE(std::string items, Elements(*map.items(), first, count));
    out = "CAST(MAP([" + keys + "], [" + items + "]) AS " + sql_type + ")";
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::StructType& type) {
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(type));
    const auto& record = static_cast<const arrow::StructArray&>(column);
    std::string members;
    for (int f = 0; f < type.num_fields(); ++f) {
      ARROW_ASSIGN_OR_RAISE(std::string name, QuotedText(type.field(f)->name()));
      ARROW_ASSIGN_OR_RAISE(std::string value, RenderSqlLiteral(*record.field(f), row));
      if (f > 0) members += ", ";
      members += name;
      members += ": ";
      members += value;
    }
    out = "CAST({" + members + "} AS " + sql_type + ")";
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::DictionaryType&) {
    // The value the index points at, as a literal of the value's type.
    const auto& dictionary = static_cast<const arrow::DictionaryArray&>(column);
    ARROW_ASSIGN_OR_RAISE(
        out, RenderSqlLiteral(*dictionary.dictionary(), dictionary.GetValueIndex(row)));
    return arrow::Status::OK();
  }

  static arrow::Result<std::string> Elements(const arrow::Array& values, int64_t first,
                                             int64_t count) {
    std::string text;
    for (int64_t i = 0; i < count; ++i) {
      ARROW_ASSIGN_OR_RAISE(std::string item, RenderSqlLiteral(values, first + i));
      text += (i > 0 ? ", " : "") + item;
    }
    return text;
  }
};

}  // namespace

arrow::Result<std::string> RenderSqlLiteral(const arrow::Array& column, int64_t row) {
  if (column.IsNull(row)) {
    // Typed, so that a NULL row gives a result of the same type as the others.
    ARROW_ASSIGN_OR_RAISE(std::string sql_type, LiteralType(*column.type()));
    return sql_type.empty() ? std::string("NULL") : "CAST(NULL AS " + sql_type + ")";
  }
  Renderer renderer{column, row, {}};
  ARROW_RETURN_NOT_OK(arrow::VisitTypeInline(*column.type(), &renderer));
  return std::move(renderer.out);
}

arrow::Status CheckRenderableType(const arrow::DataType& type) {
  return LiteralType(type).status();
}

}  // namespace zv
