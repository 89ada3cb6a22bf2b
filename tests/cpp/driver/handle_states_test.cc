// Every state check of the handles, in the order the driver applies them: the
// first failing check decides the status, SQLSTATE and message.

#include <functional>

#include "driver/adbc_test_util.h"
#include "driver/connection.h"
#include "driver/database.h"
#include "driver/option_entries.h"
#include "driver/statement.h"

namespace {

using zv::testing::ScopedError;

// Handles in the states the checks distinguish.
struct Handles {
  AdbcDatabase unallocated_db{};
  AdbcDatabase allocated_db{};
  AdbcDatabase initialised_db{};
  AdbcConnection unallocated_conn{};
  AdbcConnection allocated_conn{};
  AdbcStatement unallocated_stmt{};
  AdbcStatement allocated_stmt{};  // a record with no SQL, on an uninitialised connection
  ArrowArrayStream stream{};
  ArrowSchema schema{};

  Handles() {
    ScopedError err;
    zv::DatabaseNew(&allocated_db, err.get());
    zv::DatabaseNew(&initialised_db, err.get());
    zv::DatabaseSetOption(&initialised_db, "uri", "http://127.0.0.1:9", err.get());
    zv::DatabaseSetOption(&initialised_db, "username", "demo", err.get());
    EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseInit(&initialised_db, err.get())) << err.message();
    zv::ConnectionNew(&allocated_conn, err.get());
    // Statements can only be created on live connections; build the record
    // directly to reach the checks that follow allocation.
    auto record = std::make_unique<zv::ZVStatement>();
    record->connection = &allocated_conn;
    allocated_stmt.private_data = record.release();
  }
  ~Handles() {
    ScopedError err;
    zv::StatementRelease(&allocated_stmt, err.get());
    zv::ConnectionRelease(&allocated_conn, err.get());
    zv::DatabaseRelease(&allocated_db, err.get());
    zv::DatabaseRelease(&initialised_db, err.get());
  }
};

struct StateCase {
  const char* name;
  std::function<AdbcStatusCode(Handles&, AdbcError*)> call;
  AdbcStatusCode status;
  const char* sqlstate;
  const char* message;
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class HandleStateChecks : public ::testing::TestWithParam<StateCase> {};

TEST_P(HandleStateChecks, ReportsStatusSqlstateAndMessage) {
  const StateCase& c = GetParam();
  Handles h;
  ScopedError err;
  EXPECT_EQ(c.status, c.call(h, err.get()));
  EXPECT_EQ(err.sqlstate(), c.sqlstate);
  EXPECT_EQ(err.message(), c.message);
  EXPECT_EQ(err.error.vendor_code, 0);
  // The same status comes back when the host passes no error record.
  Handles again;
  EXPECT_EQ(c.status, c.call(again, nullptr));
}

const StateCase kCases[] = {
    {"DatabaseNewNull", [](Handles&, AdbcError* e) { return zv::DatabaseNew(nullptr, e); }, 5,
     "HY009", "AdbcDatabaseNew: database pointer is null"},
    {"DatabaseNewTwice",
     [](Handles& h, AdbcError* e) { return zv::DatabaseNew(&h.allocated_db, e); }, 6, "HY010",
     "AdbcDatabaseNew called twice on the same handle without Release"},
    {"DatabaseSetOptionNullKey",
     [](Handles& h, AdbcError* e) {
       return zv::DatabaseSetOption(&h.allocated_db, nullptr, "x", e);
     },
     5, "HY009", "AdbcDatabaseSetOption: null database or key"},
    {"DatabaseSetOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::DatabaseSetOption(&h.unallocated_db, "uri", "x", e);
     },
     6, "HY010", "AdbcDatabaseSetOption: database not allocated"},
    {"DatabaseSetOptionAfterInit",
     [](Handles& h, AdbcError* e) {
       return zv::DatabaseSetOption(&h.initialised_db, "uri", "x", e);
     },
     6, "HY010",
     "AdbcDatabaseSetOption: database already initialized; options must be set before "
     "AdbcDatabaseInit"},
    // An unknown key is NOT_IMPLEMENTED in every state; a known one is
    // refused by the state.
    {"DatabaseSetUnknownOptionAfterInit",
     [](Handles& h, AdbcError* e) {
       return zv::DatabaseSetOption(&h.initialised_db, "no.such.key", "x", e);
     },
     2, "HYC00", "unknown database option key: no.such.key"},
    {"DatabaseSetUnknownOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::DatabaseSetOption(&h.unallocated_db, "no.such.key", "x", e);
     },
     2, "HYC00", "unknown database option key: no.such.key"},
    {"DatabaseInitNull", [](Handles&, AdbcError* e) { return zv::DatabaseInit(nullptr, e); }, 5,
     "HY009", "AdbcDatabaseInit: database pointer is null"},
    {"DatabaseInitUnallocated",
     [](Handles& h, AdbcError* e) { return zv::DatabaseInit(&h.unallocated_db, e); }, 6, "HY010",
     "AdbcDatabaseInit: database not allocated"},
    {"DatabaseInitTwice",
     [](Handles& h, AdbcError* e) { return zv::DatabaseInit(&h.initialised_db, e); }, 6, "HY010",
     "AdbcDatabaseInit called twice"},
    {"ConnectionNewNull", [](Handles&, AdbcError* e) { return zv::ConnectionNew(nullptr, e); }, 5,
     "HY009", "AdbcConnectionNew: connection pointer is null"},
    {"ConnectionNewTwice",
     [](Handles& h, AdbcError* e) { return zv::ConnectionNew(&h.allocated_conn, e); }, 6, "HY010",
     "AdbcConnectionNew called twice without Release"},
    {"ConnectionSetOptionNull",
     [](Handles&, AdbcError* e) { return zv::ConnectionSetOption(nullptr, "k", "v", e); }, 5,
     "HY009", "AdbcConnectionSetOption: null connection or key"},
    {"ConnectionSetOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionSetOption(&h.unallocated_conn, "adbc.connection.read_only", "true", e);
     },
     6, "HY010", "AdbcConnectionSetOption: connection not allocated"},
    {"ConnectionSetUnknownOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionSetOption(&h.unallocated_conn, "no.such.key", "x", e);
     },
     2, "HYC00", "unknown connection option key: no.such.key"},
    {"ConnectionSetReadOnlyAliasUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionSetOption(&h.unallocated_conn, ADBC_CONNECTION_OPTION_READ_ONLY, "true",
                                      e);
     },
     6, "HY010", "AdbcConnectionSetOption: connection not allocated"},
    {"StatementSetUnknownOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementSetOption(&h.unallocated_stmt, "no.such.key", "x", e);
     },
     2, "HYC00", "AdbcStatementSetOption: unknown key: no.such.key"},
    {"StatementSetUnknownOptionAllocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementSetOption(&h.allocated_stmt, "no.such.key", "x", e);
     },
     2, "HYC00", "AdbcStatementSetOption: unknown key: no.such.key"},
    {"StatementSetKnownOptionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementSetOption(&h.unallocated_stmt, ADBC_INGEST_OPTION_TARGET_TABLE, "t", e);
     },
     6, "HY010", "AdbcStatementSetOption: statement not allocated"},
    {"ConnectionInitNullDatabase",
     [](Handles& h, AdbcError* e) { return zv::ConnectionInit(&h.allocated_conn, nullptr, e); }, 5,
     "HY009", "AdbcConnectionInit: null connection or database"},
    {"ConnectionInitUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionInit(&h.unallocated_conn, &h.initialised_db, e);
     },
     6, "HY010", "AdbcConnectionInit: connection not allocated"},
    {"ConnectionInitDatabaseNotInitialised",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionInit(&h.allocated_conn, &h.allocated_db, e);
     },
     6, "HY010",
     "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call AdbcDatabaseInit "
     "first)"},
    {"ConnectionInitDatabaseUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionInit(&h.allocated_conn, &h.unallocated_db, e);
     },
     6, "HY010",
     "AdbcConnectionInit: parent AdbcDatabase has not been initialised (call AdbcDatabaseInit "
     "first)"},
    {"StatementNewNull",
     [](Handles& h, AdbcError* e) { return zv::StatementNew(&h.allocated_conn, nullptr, e); }, 5,
     "HY009", "AdbcStatementNew: null connection or statement"},
    {"StatementNewTwice",
     [](Handles& h, AdbcError* e) {
       return zv::StatementNew(&h.allocated_conn, &h.allocated_stmt, e);
     },
     6, "HY010", "AdbcStatementNew called twice without Release"},
    {"StatementNewConnectionUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementNew(&h.unallocated_conn, &h.unallocated_stmt, e);
     },
     6, "HY010", "AdbcStatementNew: parent connection not allocated"},
    {"StatementNewConnectionNotInitialised",
     [](Handles& h, AdbcError* e) {
       return zv::StatementNew(&h.allocated_conn, &h.unallocated_stmt, e);
     },
     6, "HY010",
     "AdbcStatementNew: parent connection not initialised (call AdbcConnectionInit first)"},
    {"SetSqlQueryNull",
     [](Handles& h, AdbcError* e) {
       return zv::StatementSetSqlQuery(&h.allocated_stmt, nullptr, e);
     },
     5, "HY009", "AdbcStatementSetSqlQuery: null statement or query"},
    {"SetSqlQueryUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementSetSqlQuery(&h.unallocated_stmt, "SELECT 1", e);
     },
     6, "HY010", "AdbcStatementSetSqlQuery: statement not allocated"},
    {"PrepareNull", [](Handles&, AdbcError* e) { return zv::StatementPrepare(nullptr, e); }, 5,
     "HY009", "AdbcStatementPrepare: null statement"},
    {"PrepareUnallocated",
     [](Handles& h, AdbcError* e) { return zv::StatementPrepare(&h.unallocated_stmt, e); }, 6,
     "HY010", "AdbcStatementPrepare: statement not allocated"},
    {"PrepareWithoutSql",
     [](Handles& h, AdbcError* e) { return zv::StatementPrepare(&h.allocated_stmt, e); }, 6,
     "HY010", "AdbcStatementPrepare: SetSqlQuery must be called first"},
    {"ExecuteNull",
     [](Handles& h, AdbcError* e) {
       return zv::StatementExecuteQuery(nullptr, &h.stream, nullptr, e);
     },
     5, "HY009", "AdbcStatementExecuteQuery: null statement"},
    {"ExecuteUnallocated",
     [](Handles& h, AdbcError* e) {
       return zv::StatementExecuteQuery(&h.unallocated_stmt, &h.stream, nullptr, e);
     },
     6, "HY010", "AdbcStatementExecuteQuery: statement not allocated"},
    {"ExecuteWithoutSql",
     [](Handles& h, AdbcError* e) {
       return zv::StatementExecuteQuery(&h.allocated_stmt, &h.stream, nullptr, e);
     },
     6, "HY010",
     "AdbcStatementExecuteQuery: SetSqlQuery must be called with a non-empty SQL string before "
     "Execute"},
    {"ExecuteWithEmptySql",
     [](Handles& h, AdbcError* e) {
       zv::StatementSetSqlQuery(&h.allocated_stmt, "", nullptr);
       return zv::StatementExecuteQuery(&h.allocated_stmt, &h.stream, nullptr, e);
     },
     6, "HY010",
     "AdbcStatementExecuteQuery: SetSqlQuery must be called with a non-empty SQL string before "
     "Execute"},
    {"ExecuteConnectionNotInitialised",
     [](Handles& h, AdbcError* e) {
       zv::StatementSetSqlQuery(&h.allocated_stmt, "SELECT 1", nullptr);
       return zv::StatementExecuteQuery(&h.allocated_stmt, &h.stream, nullptr, e);
     },
     6, "HY010",
     "AdbcStatementExecuteQuery: parent connection is not initialised (call AdbcConnectionInit "
     "first)"},
    {"GetInfoNullStream",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetInfo(&h.allocated_conn, nullptr, 0, nullptr, e);
     },
     5, "HY009", "AdbcConnectionGetInfo: null connection or stream"},
    {"GetTableTypesNullConnection",
     [](Handles& h, AdbcError* e) { return zv::ConnectionGetTableTypes(nullptr, &h.stream, e); }, 5,
     "HY009", "AdbcConnectionGetTableTypes: null connection or stream"},
    {"GetTableSchemaNullSchema",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetTableSchema(&h.allocated_conn, nullptr, nullptr, "t", nullptr, e);
     },
     5, "HY009", "AdbcConnectionGetTableSchema: null connection or output schema"},
    {"GetTableSchemaEmptyTableName",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetTableSchema(&h.unallocated_conn, nullptr, nullptr, "", &h.schema, e);
     },
     5, "HY009", "AdbcConnectionGetTableSchema: table_name is required"},
    {"GetTableSchemaNotInitialised",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetTableSchema(&h.allocated_conn, nullptr, nullptr, "t", &h.schema, e);
     },
     6, "HY010",
     "AdbcConnectionGetTableSchema: connection not initialised (call AdbcConnectionInit first)"},
    {"GetObjectsNullStream",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetObjects(&h.allocated_conn, 0, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, e);
     },
     5, "HY009", "AdbcConnectionGetObjects: null connection or stream"},
    {"GetObjectsNotInitialised",
     [](Handles& h, AdbcError* e) {
       return zv::ConnectionGetObjects(&h.unallocated_conn, 0, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, &h.stream, e);
     },
     6, "HY010", "AdbcConnectionGetObjects: connection not initialised"},
};

INSTANTIATE_TEST_SUITE_P(AllEntryPoints, HandleStateChecks, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HandleRelease, NullOrUnallocatedHandlesAreReleasedQuietly) {
  ScopedError err;
  AdbcDatabase db{};
  AdbcConnection conn{};
  AdbcStatement stmt{};
  EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseRelease(nullptr, err.get()));
  EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseRelease(&db, err.get()));
  EXPECT_EQ(ADBC_STATUS_OK, zv::ConnectionRelease(&conn, err.get()));
  EXPECT_EQ(ADBC_STATUS_OK, zv::StatementRelease(&stmt, err.get()));
  EXPECT_EQ(err.error.release, nullptr) << "release must leave the error untouched";
}

TEST(HandleRelease, ReleasedHandleCanBeAllocatedAgainAndReleasedTwice) {
  ScopedError err;
  AdbcDatabase db{};
  ASSERT_ADBC_OK(zv::DatabaseNew(&db, err.get()), err);
  EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseRelease(&db, err.get()));
  EXPECT_EQ(db.private_data, nullptr);
  EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseRelease(&db, err.get()));
  ASSERT_ADBC_OK(zv::DatabaseNew(&db, err.get()), err);
  EXPECT_EQ(ADBC_STATUS_OK, zv::DatabaseRelease(&db, err.get()));
}

// A host may release the database before its connections. The connection
// keeps the settings it reads later (the snapshot is fetched under the URI and
// user name), but the secrets go with the database handle.
TEST(HandleRelease, DatabaseReleasedBeforeItsConnectionStaysReadableWithoutSecrets) {
  ScopedError err;
  AdbcDatabase db{};
  AdbcConnection conn{};
  ASSERT_ADBC_OK(zv::DatabaseNew(&db, err.get()), err);
  for (const auto& [key, value] : {std::pair{"uri", "http://127.0.0.1:9"},
                                   {"username", "demo"},
                                   {"password", "s3cret"},
                                   {"adbc.zorvane.proxy_pass", "p4ss"}}) {
    ASSERT_ADBC_OK(zv::DatabaseSetOption(&db, key, value, err.get()), err);
  }
  ASSERT_ADBC_OK(zv::DatabaseInit(&db, err.get()), err);
  ASSERT_ADBC_OK(zv::ConnectionNew(&conn, err.get()), err);
  {
    // Nothing listens there: Init fails after taking its share of the database.
    ScopedError refused;
    EXPECT_NE(ADBC_STATUS_OK, zv::ConnectionInit(&conn, &db, refused.get()));
  }
  ASSERT_ADBC_OK(zv::DatabaseRelease(&db, err.get()), err);
  EXPECT_EQ(db.private_data, nullptr);
  const zv::ZVDatabase& shared = *zv::RecordOf<zv::ZVConnection>(&conn)->database;
  EXPECT_EQ(shared.uri, "http://127.0.0.1:9");
  EXPECT_EQ(shared.username, "demo");
  EXPECT_FALSE(shared.password.has_value());
  EXPECT_FALSE(shared.proxy_pass.has_value());
  EXPECT_ADBC_OK(zv::ConnectionRelease(&conn, err.get()), err);
}

TEST(TypedOptionSetters, ALengthNoTextCanHoldIsAnErrorNotAnException) {
  Handles h;
  ScopedError err;
  const uint8_t byte = 'x';
  EXPECT_EQ(ADBC_STATUS_INTERNAL, zv::TypedOptionEntries<AdbcDatabase>::SetBytes(
                                      &h.allocated_db, "uri", &byte, SIZE_MAX, err.get()));
  EXPECT_EQ(err.sqlstate(), "HY000");
}

}  // namespace
