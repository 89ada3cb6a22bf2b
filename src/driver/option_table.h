// The option descriptor tables of the three handles. One row per key says
// everything the driver does with it: how its value is checked, which field of
// the handle's record it sets, whether it is secret, whether it reads back and
// whether it may be set once the handle is initialised. SetOption, every typed
// GetOption, the redaction of option values in log lines and the README's
// option tables (checked by tests/cpp/driver/option_table_test.cc) all come
// from these rows.
#pragma once

#include <arrow/result.h>

#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/option_access.h"
#include "driver/option_values.h"
#include "util/failure.h"
#include "util/secret_string.h"

namespace zv {

// The kind of value an option takes, as the README's tables name it.
enum class OptionValueType { kText, kBoolean, kInteger, kChoice, kList, kNumber };

const char* OptionValueTypeName(OptionValueType type);

// How a row reaches its record's field.
template <typename Record>
struct OptionAccess {
  // Stores a value that passed the row's check; null when SetOption does not
  // take the key (it then reads as unknown there).
  arrow::Status (*store)(Record&, const char* value) = nullptr;
  // The stored value as text; null when it never reads back.
  arrow::Result<std::string> (*read)(Record&, std::string_view key) = nullptr;
  // Back to unset (a database option a URI merge took back); null: nothing
  // to reset.
  void (*reset)(Record&) = nullptr;
};

template <typename Record>
struct OptionDescriptor {
  std::string_view key;  // the adbc.h macro wherever adbc.h defines the key
  OptionValueType type;
  bool (*valid)(const char* value);  // null: the store checks, or takes anything
  const char* refusal;               // message when `valid` refuses (HY009)
  OptionAccess<Record> access;
  bool secret;      // never logged, never read back
  bool after_init;  // may be set once the handle is initialised

  bool settable() const { return access.store != nullptr; }
  bool readable() const { return access.read != nullptr && !secret; }
};

template <typename Record>
using OptionTable = std::span<const OptionDescriptor<Record>>;

template <typename Record>
const OptionDescriptor<Record>* FindOption(OptionTable<Record> table, std::string_view key) {
  for (const auto& row : table) {
    if (row.key == key) return &row;
  }
  return nullptr;
}

// Checks the value and stores it; a refused value leaves the record as it was.
template <typename Record>
arrow::Status StoreOption(const OptionDescriptor<Record>& row, Record& record, const char* value) {
  if (row.valid != nullptr && !row.valid(value)) return InvalidOptionValue(row.refusal);
  return row.access.store(record, value);
}

// The text GetOption hands back: unknown keys and options that are not set
// are NOT_FOUND, and so are secrets, with a message that says why.
template <typename Record>
arrow::Result<std::string> ReadOption(OptionTable<Record> table, Record& record,
                                      std::string_view key) {
  const OptionDescriptor<Record>* row = FindOption(table, key);
  if (row != nullptr && row->secret) return SecretOption(std::string(key));
  if (row == nullptr || row->access.read == nullptr) return OptionNotSet(std::string(key));
  return row->access.read(record, key);
}

// How an option's value appears in a log line: a secret's, and the value of a
// key no table knows (it may be a misspelt secret), as [REDACTED]; null as
// (null); anything else as given.
template <typename Record>
const char* LoggedOptionValue(const OptionDescriptor<Record>* row, const char* value) {
  if (row == nullptr || row->secret) return "[REDACTED]";
  return value ? value : "(null)";
}

// --- the accesses of the common field types ---------------------------------

template <typename T>
struct MemberOf;
template <typename R, typename T>
struct MemberOf<T R::*> {
  using Record = R;
  using Type = T;
};

// A text that cannot be copied for lack of memory leaves the option unset;
// the call still succeeds.
void StoreOptionalText(std::optional<std::string>& field, const char* value);
void StoreSecretText(SecretString& field, const char* value);

// Text stored as given; null unsets it.
template <auto Field>
constexpr auto TextOption() {
  using R = typename MemberOf<decltype(Field)>::Record;
  return OptionAccess<R>{[](R& r, const char* value) {
                           StoreOptionalText(r.*Field, value);
                           return arrow::Status::OK();
                         },
                         [](R& r, std::string_view key) -> arrow::Result<std::string> {
                           if (!(r.*Field)) return OptionNotSet(std::string(key));
                           return *(r.*Field);
                         },
                         [](R& r) { (r.*Field).reset(); }};
}

// A secret: stored, zeroed when replaced or released, never read back.
template <auto Field>
constexpr auto SecretTextOption() {
  using R = typename MemberOf<decltype(Field)>::Record;
  return OptionAccess<R>{[](R& r, const char* value) {
                           StoreSecretText(r.*Field, value);
                           return arrow::Status::OK();
                         },
                         nullptr, [](R& r) { (r.*Field).Reset(); }};
}

// A flag kept as the text "true" or "false", whichever boolean spelling the
// host used (the row's check has accepted it).
template <auto Field>
constexpr auto FlagTextOption() {
  using R = typename MemberOf<decltype(Field)>::Record;
  return OptionAccess<R>{[](R& r, const char* value) {
                           StoreOptionalText(r.*Field, *ParseBooleanText(value) ? "true" : "false");
                           return arrow::Status::OK();
                         },
                         TextOption<Field>().read, TextOption<Field>().reset};
}

// A number read by `Parse` (the row's check has accepted the text), which
// reads back in decimal; reset gives 0.
template <auto Field, auto Parse>
constexpr auto IntegerOption() {
  using R = typename MemberOf<decltype(Field)>::Record;
  using T = typename MemberOf<decltype(Field)>::Type;
  return OptionAccess<R>{
      [](R& r, const char* value) {
        r.*Field = static_cast<T>(*Parse(value));
        return arrow::Status::OK();
      },
      [](R& r, std::string_view) -> arrow::Result<std::string> { return std::to_string(r.*Field); },
      [](R& r) { r.*Field = T{}; }};
}

bool IsBooleanText(const char* value);
bool IsDatabaseInteger(const char* value);
bool IsConnectionInteger(const char* value);

}  // namespace zv
