"""What adbc.h defines for statements and options, checked through the driver
manager against this driver and, where the header defines the behaviour, the
SQLite driver too, so that the two agree: the default ingest mode, a statement
reused for SQL after an ingest, several parameter rows bound to a query,
unknown option keys. Then what only this driver does: literals of every
bindable type, and read-only connections."""

import datetime
import decimal
import itertools

import adbc_driver_manager as dm
import pyarrow as pa
import pytest
from driver_helpers import open_connection

_names = itertools.count()

DRIVERS = ["zorvane", "sqlite"]
# adbc.h's ADBC_CONNECTION_OPTION_READ_ONLY (the manager names no constant for it).
READ_ONLY = "adbc.connection.readonly"
DATABASES = {}  # a connection's database handle, by id of the connection


@pytest.fixture(params=DRIVERS)
def conn(request, driver_path):
    if request.param == "zorvane":
        srv = request.getfixturevalue("devserver")
        db, c = open_connection(driver_path, srv.url, username="demo", password="demo")
    else:
        import adbc_driver_sqlite
        db = adbc_driver_sqlite.connect()
        c = dm.AdbcConnection(db)
    DATABASES[id(c)] = db
    yield c
    c.close()
    db.close()


@pytest.fixture
def zv(driver_path, devserver):
    db, c = open_connection(driver_path, devserver.url, username="demo", password="demo")
    DATABASES[id(c)] = db
    yield c
    c.close()
    db.close()


def fresh(prefix="contract"):
    return f"{prefix}_{next(_names)}"


def statement(conn, sql=None, options=None, data=None):
    stmt = dm.AdbcStatement(conn)
    if options:
        stmt.set_options(**options)
    if sql is not None:
        stmt.set_sql_query(sql)
    if data is not None:
        stmt.bind(data)
    return stmt


def query(conn, sql, data=None):
    stmt = statement(conn, sql, data=data)
    try:
        stream, _ = stmt.execute_query()
        return pa.RecordBatchReader._import_from_c(stream.address).read_all()
    finally:
        stmt.close()


def rows(conn, table):
    return query(conn, f'SELECT * FROM "{table}" ORDER BY 1').to_pylist()


def batch(values, name="a", type=pa.int64()):
    return pa.record_batch([pa.array(values, type)], names=[name])


# --- ingest mode -------------------------------------------------------------

def test_ingest_without_a_mode_creates_the_table(conn):
    table = fresh()
    stmt = statement(conn, options={dm.INGEST_OPTION_TARGET_TABLE: table}, data=batch([1, 2]))
    try:
        assert stmt.execute_update() == 2, \
            'adbc.h: ADBC_INGEST_OPTION_MODE "Whether to create (the default) or append."'
        stmt.bind(batch([3]))
        with pytest.raises(dm.Error) as raised:
            stmt.execute_update()
        assert raised.value.status_code == dm.AdbcStatusCode.ALREADY_EXISTS, \
            'adbc.h: ADBC_INGEST_OPTION_MODE_CREATE "Create the table and insert data; error ' \
            'if the table exists."'
    finally:
        stmt.close()
    assert rows(conn, table) == [{"a": 1}, {"a": 2}]


def test_the_default_mode_reads_back_as_create_and_after_sql_again(zv):
    stmt = statement(zv, options={dm.INGEST_OPTION_MODE: dm.INGEST_OPTION_MODE_APPEND})
    try:
        assert stmt.get_option(dm.INGEST_OPTION_MODE) == dm.INGEST_OPTION_MODE_APPEND
        stmt.set_sql_query("SELECT 1")
        assert stmt.get_option(dm.INGEST_OPTION_MODE) == dm.INGEST_OPTION_MODE_CREATE
    finally:
        stmt.close()


# --- a statement reused after an ingest --------------------------------------

def test_sql_after_an_ingest_runs_that_sql_with_the_bound_data_as_parameters(conn):
    table = fresh()
    stmt = statement(conn, options={dm.INGEST_OPTION_TARGET_TABLE: table}, data=batch([1]))
    try:
        stmt.execute_update()
        stmt.set_sql_query(f'INSERT INTO "{table}" VALUES (?)')
        stmt.bind(batch([2, 3]))
        affected = stmt.execute_update()
        assert affected in (2, -1), 'adbc.h: "Statements may be used multiple times and can ' \
            'be reconfigured (e.g. they can be reused to execute multiple different queries)."'
        assert rows(conn, table) == [{"a": 1}, {"a": 2}, {"a": 3}]
        # A target set again makes the statement an ingest again.
        stmt.set_options(**{dm.INGEST_OPTION_TARGET_TABLE: table,
                            dm.INGEST_OPTION_MODE: dm.INGEST_OPTION_MODE_APPEND})
        stmt.bind(batch([4]))
        assert stmt.execute_update() == 1
    finally:
        stmt.close()
    assert rows(conn, table)[-1] == {"a": 4}


def test_a_bind_after_sql_after_an_ingest_after_a_cancel_runs_the_sql(zv):
    table = fresh()
    stmt = statement(zv, options={dm.INGEST_OPTION_TARGET_TABLE: table}, data=batch([1]))
    try:
        stmt.cancel()  # nothing running: nothing to cancel, nothing left behind
        assert stmt.execute_update() == 1
        stmt.set_sql_query(f'SELECT a * 10 AS b FROM "{table}" WHERE a = ?')
        stmt.bind(batch([1]))
        stream, _ = stmt.execute_query()
        got = pa.RecordBatchReader._import_from_c(stream.address).read_all()
        assert got.to_pylist() == [{"b": 10}]
        with pytest.raises(dm.Error) as raised:
            stmt.get_option(dm.INGEST_OPTION_TARGET_TABLE)
        assert raised.value.status_code == dm.AdbcStatusCode.NOT_FOUND
    finally:
        stmt.close()


# --- parameter sets ------------------------------------------------------------

@pytest.mark.parametrize("values, type", [
    ([1, 2, 3], pa.int64()),
    ([None, 5, None], pa.int64()),
    (["x", "", None], pa.string()),
    ([1, 3_000_000_000], pa.int64()),  # a bare literal would be INTEGER, then BIGINT
])
def test_several_parameter_rows_run_the_query_once_each_as_one_stream(conn, values, type):
    got = query(conn, "SELECT ? AS v", batch(values, "v", type))
    assert got.column("v").to_pylist() == values, \
        'adbc.h: AdbcStatementBind "This can be used for bulk inserts or prepared statements."'


def test_parameter_rows_from_several_batches_keep_their_order(conn):
    stmt = dm.AdbcStatement(conn)
    try:
        stmt.set_sql_query("SELECT ? * 2 AS v")
        schema = pa.schema([("p", pa.int64())])
        stmt.bind_stream(pa.RecordBatchReader.from_batches(
            schema, [batch([1, 2], "p"), batch([], "p"), batch([3], "p")]))
        stream, _ = stmt.execute_query()
        got = pa.RecordBatchReader._import_from_c(stream.address).read_all()
    finally:
        stmt.close()
    assert got.column("v").to_pylist() == [2, 4, 6]


def test_parameter_rows_whose_results_differ_in_schema_fail_before_any_row(zv, devserver):
    first, second = fresh(), fresh()
    query(zv, f'CREATE TABLE "{first}" AS SELECT 1 AS a')
    query(zv, f'CREATE TABLE "{second}" AS SELECT \'x\' AS b, 2 AS c')
    stmt = statement(zv, "SELECT * FROM query_table(?)", data=batch([first, second], "t", pa.string()))
    try:
        with pytest.raises(dm.ProgrammingError) as raised:
            stmt.execute_query()  # the execute fails, not a later get_next
    finally:
        stmt.close()
    assert raised.value.status_code == dm.AdbcStatusCode.INVALID_ARGUMENT
    assert raised.value.sqlstate == "42804"
    assert "parameter row 2" in str(raised.value) and "schema" in str(raised.value)


def test_zero_parameter_rows_give_the_querys_empty_result(zv):
    got = query(zv, "SELECT ? AS v, 'x' AS w", batch([], "v"))
    assert got.num_rows == 0 and got.schema.names == ["v", "w"]


def test_a_failing_parameter_row_is_named(zv):
    with pytest.raises(dm.Error) as raised:
        query(zv, "SELECT 1 / (? - 2) AS v, CAST(? AS INTEGER) AS w",
              pa.record_batch([pa.array([1, 2]), pa.array(["1", "x"])], names=["a", "b"]))
    assert "parameter row 2" in str(raised.value)


# --- options -------------------------------------------------------------------

def test_unknown_keys_are_not_implemented_on_every_initialised_handle(conn):
    why = 'adbc.h: SetOption "\\return ADBC_STATUS_NOT_IMPLEMENTED if the option is not recognized"'
    stmt = dm.AdbcStatement(conn)
    try:
        for handle in (DATABASES[id(conn)], conn, stmt):
            with pytest.raises(dm.NotSupportedError) as raised:
                handle.set_options(**{"no.such.option.key": "1"})
            assert raised.value.status_code == dm.AdbcStatusCode.NOT_IMPLEMENTED, why
    finally:
        stmt.close()


def test_a_known_database_key_after_init_is_invalid_state(zv):
    with pytest.raises(dm.Error) as raised:
        DATABASES[id(zv)].set_options(**{"adbc.zorvane.connect_timeout_sec": "5"})
    assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE
    assert raised.value.sqlstate == "HY010"


# --- binding -------------------------------------------------------------------

UTC = datetime.timezone.utc
BINDINGS = [
    (pa.array(["b", "a"], pa.dictionary(pa.int8(), pa.string())), pa.string(), ["b", "a"]),
    (pa.array([1.5, None], pa.float16()), pa.float32(), [1.5, None]),
    (pa.array([decimal.Decimal("-1.25")], pa.decimal256(10, 2)), pa.decimal128(10, 2),
     [decimal.Decimal("-1.25")]),
    (pa.array([[1, None], []], pa.list_(pa.int64())), pa.list_(pa.int64()), [[1, None], []]),
    (pa.array([["x"]], pa.large_list(pa.string())), pa.list_(pa.string()), [["x"]]),
    (pa.array([[1, 2]], pa.list_(pa.int32(), 2)), pa.list_(pa.int32(), 2), [[1, 2]]),
    (pa.array([{"k": 1, "it's": "v"}], pa.struct([("k", pa.int16()), ("it's", pa.string())])),
     pa.struct([("k", pa.int16()), ("it's", pa.string())]), [{"k": 1, "it's": "v"}]),
    (pa.array([[("a", 1)]], pa.map_(pa.string(), pa.int32())), pa.map_(pa.string(), pa.int32()),
     [[("a", 1)]]),
    (pa.array([datetime.timedelta(seconds=-90, microseconds=5)], pa.duration("us")),
     pa.month_day_nano_interval(), [pa.MonthDayNano([0, 0, -89_999_995_000])]),
    (pa.array([pa.MonthDayNano([14, -3, 7000])], pa.month_day_nano_interval()),
     pa.month_day_nano_interval(), [pa.MonthDayNano([14, -3, 7000])]),
    (pa.array([datetime.datetime(2024, 1, 2, 3, 4, 5)], pa.timestamp("s")), pa.timestamp("s"),
     [datetime.datetime(2024, 1, 2, 3, 4, 5)]),
    (pa.array([5, None], pa.int8()), pa.int8(), [5, None]),
    (pa.array([datetime.time(1, 2, 3, 4)], pa.time64("ns")), pa.time64("us"),
     [datetime.time(1, 2, 3, 4)]),
]


@pytest.mark.parametrize("array, result_type, expected", BINDINGS,
                         ids=[str(b[0].type) for b in BINDINGS])
def test_every_loadable_type_binds_as_an_exact_literal(zv, array, result_type, expected):
    got = query(zv, "SELECT ? AS v", pa.record_batch([array], names=["v"])).column("v")
    assert got.type == result_type
    assert got.to_pylist() == expected


def test_a_dictionary_parameter_filters_by_its_value(zv):
    data = pa.record_batch([pa.array(["b"], pa.dictionary(pa.int32(), pa.string()))], names=["p"])
    assert query(zv, "SELECT count(*) AS n FROM (VALUES ('a'), ('b')) t(x) WHERE x = ?",
                 data).column("n").to_pylist() == [1]


@pytest.mark.parametrize("array, named", [
    (pa.array([1], pa.duration("ns")), "duration[ns]"),
    (pa.array([[1.0]], pa.list_(pa.float16())), "list<item: halffloat>"),
    (pa.UnionArray.from_dense(pa.array([0], pa.int8()), pa.array([0], pa.int32()),
                              [pa.array([1])]), "dense_union"),
])
def test_other_types_are_refused_naming_the_type(zv, devserver, array, named):
    before = devserver.counters()["queries"]
    with pytest.raises(dm.NotSupportedError) as raised:
        query(zv, "SELECT ? AS v", pa.record_batch([array], names=["v"]))
    assert raised.value.sqlstate == "HYC00" and named in str(raised.value)
    assert devserver.counters()["queries"] == before


# --- read-only -------------------------------------------------------------------

@pytest.mark.parametrize("key", [READ_ONLY,
                                 "adbc.connection.read_only"])
def test_both_read_only_keys_set_it_and_both_read_it_back(zv, key):
    zv.set_options(**{key: "true"})
    for name in (READ_ONLY, "adbc.connection.read_only"):
        assert zv.get_option(name) == "true"
    zv.set_options(**{key: "false"})
    assert zv.get_option(READ_ONLY) == "false"


WRITES = [
    "DROP TABLE ro_t",
    "/* SELECT */ DELETE FROM ro_t",
    "-- SELECT\nINSERT INTO ro_t VALUES (9)",
    "(UPDATE ro_t SET a = 9)",
    "SELECT 1; DROP TABLE ro_t",
    "SELECT ';'; DROP TABLE ro_t",
    "WITH d AS (DELETE FROM ro_t RETURNING *) SELECT * FROM d",
    "WITH s AS (SELECT 9) INSERT INTO ro_t SELECT * FROM s",
    "SELECT * INTO ro_copy FROM ro_t",
    "EXPLAIN ANALYZE DELETE FROM ro_t",
    "CREATE TABLE ro_new (a INT)",
    "SELECT * FROM query('DROP TABLE ro_t')",
    "INSERT INTO ro_t VALUES (?)",
]


@pytest.fixture
def read_only(zv):
    query(zv, "CREATE OR REPLACE TABLE ro_t AS SELECT 1 AS a")
    zv.set_options(**{READ_ONLY: "true"})
    yield zv
    zv.set_options(**{READ_ONLY: "false"})


@pytest.mark.parametrize("sql", WRITES)
def test_read_only_refuses_what_it_cannot_show_to_read_before_sending(read_only, devserver, sql):
    before = devserver.counters()["queries"]
    stmt = statement(read_only, sql, data=batch([9]) if "?" in sql else None)
    try:
        for run in (stmt.execute_update, stmt.execute_schema):
            with pytest.raises(dm.Error) as raised:
                run()
            assert raised.value.status_code == dm.AdbcStatusCode.INVALID_STATE
            assert raised.value.sqlstate == "25006"
            assert READ_ONLY in str(raised.value)
    finally:
        stmt.close()
    assert devserver.counters()["queries"] == before
    assert rows(read_only, "ro_t") == [{"a": 1}]


def test_read_only_refuses_every_ingest_and_keeps_reads_and_catalog_answers(read_only, devserver):
    before = devserver.counters()["requests"]["ingest"]
    stmt = statement(read_only, options={dm.INGEST_OPTION_TARGET_TABLE: fresh()}, data=batch([1]))
    try:
        with pytest.raises(dm.Error) as raised:
            stmt.execute_update()
    finally:
        stmt.close()
    assert raised.value.sqlstate == "25006"
    assert devserver.counters()["requests"]["ingest"] == before
    assert query(read_only, "WITH x AS (SELECT a FROM ro_t) SELECT a + ? AS b FROM x",
                 batch([1])).to_pylist() == [{"b": 2}]
    assert query(read_only, "SELECT table_name FROM information_schema.tables "
                            "WHERE table_name = 'ro_t'").schema.names == ["table_name"]
    handle = read_only.get_objects(depth=1)
    objects = pa.RecordBatchReader._import_from_c(handle.address).read_all()
    assert objects.num_rows >= 1
    read_only.set_options(**{READ_ONLY: "false"})
    query(read_only, "DROP TABLE ro_t")
