#include "driver/sql_literal.h"

#include <arrow/util/utf8.h>
#include <arrow/visit_type_inline.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "driver/adbc_status.h"

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
  int n = std::snprintf(buffer, sizeof(buffer), "%02lld:%02lld:%02lld",
                        static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60),
                        static_cast<long long>(seconds % 60));
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

std::string Cast(const std::string& quoted, const char* type) {
  return "CAST(" + quoted + " AS " + type + ")";
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
  return Failure(FailureKind::kNotImplemented, "HYC00",
                     "parameters of type " + type.ToString() +
                         " cannot be bound (no SQL literal for this type)");
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
  template <typename T>
  arrow::enable_if_integer<T, arrow::Status> Visit(const T&) {
    const auto value = static_cast<const arrow::NumericArray<T>&>(column).Value(row);
    if constexpr (std::is_signed_v<decltype(value)>) {
      out = IntegerLiteral(static_cast<long long>(value));
    } else {
      out = std::to_string(static_cast<unsigned long long>(value));
    }
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
    const std::string target =
        "DECIMAL(" + std::to_string(type.precision()) + "," + std::to_string(type.scale()) + ")";
    out = CastText(text, target.c_str());
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
    const int64_t value = static_cast<const ArrayType&>(column).Value(row);
    const int64_t per_second = UnitsPerSecond(type.unit());
    if (value < 0 || value >= per_second * kSecondsPerDay) {
      return Failure(FailureKind::kInvalidData, "22008",
                         "a time parameter lies outside the day");
    }
    const bool nano = type.unit() == arrow::TimeUnit::NANO;
    out = CastText(TimeOfDayText(value, per_second, FractionDigits(type.unit())),
                   nano ? "TIME_NS" : "TIME");
    return arrow::Status::OK();
  }
  arrow::Status Visit(const arrow::TimestampType& type) {
    const int64_t value = static_cast<const arrow::TimestampArray&>(column).Value(row);
    std::string text = TimestampText(value, type.unit());
    // A zoned timestamp holds a UTC instant whatever its zone's name.
    if (!type.timezone().empty()) {
      out = CastText(text + "+00", "TIMESTAMP WITH TIME ZONE");
    } else {
      out = CastText(text, type.unit() == arrow::TimeUnit::NANO ? "TIMESTAMP_NS" : "TIMESTAMP");
    }
    return arrow::Status::OK();
  }
};

}  // namespace

arrow::Result<std::string> RenderSqlLiteral(const arrow::Array& column, int64_t row) {
  if (column.IsNull(row)) return std::string("NULL");
  Renderer renderer{column, row, {}};
  ARROW_RETURN_NOT_OK(arrow::VisitTypeInline(*column.type(), &renderer));
  return std::move(renderer.out);
}

arrow::Status CheckRenderableType(const arrow::DataType& type) {
  using arrow::Type;
  switch (type.id()) {
    case Type::NA: case Type::BOOL:
    case Type::INT8: case Type::INT16: case Type::INT32: case Type::INT64:
    case Type::UINT8: case Type::UINT16: case Type::UINT32: case Type::UINT64:
    case Type::FLOAT: case Type::DOUBLE:
    case Type::DECIMAL32: case Type::DECIMAL64: case Type::DECIMAL128: case Type::DECIMAL256:
    case Type::STRING: case Type::LARGE_STRING: case Type::STRING_VIEW:
    case Type::BINARY: case Type::LARGE_BINARY: case Type::BINARY_VIEW:
    case Type::FIXED_SIZE_BINARY:
    case Type::DATE32: case Type::DATE64: case Type::TIME32: case Type::TIME64:
    case Type::TIMESTAMP:
      return arrow::Status::OK();
    default:
      return Unsupported(type);
  }
}

}  // namespace zv
