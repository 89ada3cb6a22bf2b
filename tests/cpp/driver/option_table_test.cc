// The README's option tables against the descriptor tables the driver runs
// on: the same keys in the same order, with the same type and access.

#include "driver/option_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/connection.h"
#include "driver/database.h"
#include "driver/statement.h"

namespace {

struct DocumentedOption {
  std::string key, type, access;
};

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line.substr(1));
  std::string cell;
  while (std::getline(in, cell, '|')) {
    const size_t begin = cell.find_first_not_of(' ');
    const size_t end = cell.find_last_not_of(' ');
    cells.push_back(begin == std::string::npos ? "" : cell.substr(begin, end - begin + 1));
  }
  return cells;
}

// The rows of the README table whose header starts with `| <heading> |`.
std::vector<DocumentedOption> DocumentedOptions(const std::string& heading) {
  std::ifstream readme(ZV_README_PATH);
  std::string line;
  std::vector<DocumentedOption> rows;
  bool inside = false;
  while (std::getline(readme, line)) {
    if (!inside) {
      inside = line.rfind("| " + heading + " |", 0) == 0;
      continue;
    }
    if (line.rfind("|---", 0) == 0) continue;
    if (line.empty() || line[0] != '|') break;
    const std::vector<std::string> cells = Cells(line);
    if (cells.size() < 3) break;
    std::string key = cells[0];
    if (key.size() > 2 && key.front() == '`' && key.back() == '`')
      key = key.substr(1, key.size() - 2);
    rows.push_back({key, cells[1], cells[2]});
  }
  return rows;
}

template <typename Record>
std::string AccessOf(const zv::OptionDescriptor<Record>& row) {
  if (row.secret) return "set, secret";
  if (!row.settable()) return "read";
  return row.readable() ? "set, read" : "set";
}

template <typename Record>
void ExpectDocumented(const std::string& heading, zv::OptionTable<Record> table) {
  const std::vector<DocumentedOption> documented = DocumentedOptions(heading);
  ASSERT_FALSE(documented.empty()) << "no README table headed '" << heading << "'";
  for (size_t i = 0; i < std::max(documented.size(), table.size()); ++i) {
    ASSERT_LT(i, table.size()) << "README documents " << documented[i].key << ", which the "
                               << heading << " table lacks";
    ASSERT_LT(i, documented.size())
        << table[i].key << " is missing from the README's " << heading << " table";
    const auto& row = table[i];
    EXPECT_EQ(documented[i].key, row.key) << heading << " row " << i;
    EXPECT_EQ(documented[i].type, zv::OptionValueTypeName(row.type)) << row.key;
    EXPECT_EQ(documented[i].access, AccessOf(row)) << row.key;
  }
}

TEST(OptionTables, AreTheReadmeTables) {
  ExpectDocumented("database option", zv::DatabaseOptions());
  ExpectDocumented("connection option", zv::ConnectionOptions());
  ExpectDocumented("statement option", zv::StatementOptions());
}

// What the rows promise each other: a secret is set, never read back and
// reset at Release, a check comes with its refusal, and no key is described
// twice.
template <typename Record>
void ExpectConsistent(zv::OptionTable<Record> table) {
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    EXPECT_TRUE(row.settable() || row.access.read != nullptr) << row.key;
    // A secret has no reader at all, and a reset that Release runs.
    if (row.secret) {
      EXPECT_TRUE(row.settable() && row.access.read == nullptr && row.access.reset != nullptr)
          << row.key;
    }
    EXPECT_EQ(row.valid == nullptr, row.refusal == nullptr) << row.key;
    for (size_t j = i + 1; j < table.size(); ++j) EXPECT_NE(row.key, table[j].key);
  }
}

TEST(OptionTables, RowsAreConsistent) {
  ExpectConsistent(zv::DatabaseOptions());
  ExpectConsistent(zv::ConnectionOptions());
  ExpectConsistent(zv::StatementOptions());
}

}  // namespace
