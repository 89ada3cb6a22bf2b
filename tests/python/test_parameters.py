"""Positional ? parameters through the DB-API: values of every supported type
come back exactly, values that would break out of a literal come back
unchanged, and bound data is used or refused, never dropped."""

import datetime
import decimal
import math

import adbc_driver_manager.dbapi as dbapi
import pyarrow as pa
import pytest


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with dbapi.connect(driver=driver_path,
                       db_kwargs={"uri": devserver.url, "username": "demo",
                                  "password": "demo"}) as c:
        yield c


def one_row(values, types):
    return pa.record_batch([pa.array([v], type=t) for v, t in zip(values, types)],
                           names=[f"p{i}" for i in range(len(values))])


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, float) and a == 0.0:
        return b == 0.0 and math.copysign(1, a) == math.copysign(1, b)
    return a == b


UTC = datetime.timezone.utc
ROUND_TRIPS = [
    (None, pa.null()),
    (True, pa.bool_()),
    (False, pa.bool_()),
    (-128, pa.int8()),
    (32767, pa.int16()),
    (-2**31, pa.int32()),
    (-2**63, pa.int64()),
    (2**63 - 1, pa.int64()),
    (255, pa.uint8()),
    (2**64 - 1, pa.uint64()),
    (0.1, pa.float64()),
    (-0.0, pa.float64()),
    (1e308, pa.float64()),
    (5e-324, pa.float64()),
    (float("nan"), pa.float64()),
    (float("inf"), pa.float64()),
    (float("-inf"), pa.float64()),
    (1.5, pa.float32()),
    (float("nan"), pa.float32()),
    (decimal.Decimal("12345678901234567890.123456789"), pa.decimal128(38, 9)),
    (decimal.Decimal("-0.01"), pa.decimal128(5, 2)),
    ("", pa.string()),
    ("plain", pa.large_string()),
    ("ünïcødé 用户 🚀", pa.string()),
    (b"", pa.binary()),
    (bytes(range(256)), pa.binary()),
    (b"'\\", pa.large_binary()),
    (datetime.date(2024, 2, 29), pa.date32()),
    (datetime.date(1, 1, 1), pa.date32()),
    (datetime.date(9999, 12, 31), pa.date32()),
    (datetime.date(1969, 12, 31), pa.date64()),
    (datetime.time(0, 0, 0), pa.time32("s")),
    (datetime.time(23, 59, 59, 999000), pa.time32("ms")),
    (datetime.time(12, 34, 56, 789012), pa.time64("us")),
    (datetime.datetime(1900, 1, 1, 0, 0, 1), pa.timestamp("s")),
    (datetime.datetime(1969, 12, 31, 23, 59, 59, 999999), pa.timestamp("us")),
    (datetime.datetime(2024, 6, 1, 12, 0, 0, 123000), pa.timestamp("ms")),
    (datetime.datetime(2024, 6, 1, 12, 0, 0, 123456, tzinfo=UTC), pa.timestamp("us", tz="UTC")),
]


@pytest.mark.parametrize("value, arrow_type", ROUND_TRIPS,
                         ids=[f"{t}-{i}" for i, (_, t) in enumerate(ROUND_TRIPS)])
def test_values_round_trip(conn, value, arrow_type):
    with conn.cursor() as cur:
        cur.execute("SELECT ? AS v", one_row([value], [arrow_type]))
        got = cur.fetch_arrow_table().column("v")
    back = got.cast(arrow_type) if arrow_type != pa.null() else got
    got_value = back.to_pylist()[0]
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        got_value = got_value.astimezone(UTC)
    assert same(value, got_value), (value, got_value, got.type)


def test_zoned_timestamp_is_the_same_instant_whatever_the_zone(conn):
    instant = datetime.datetime(2024, 3, 10, 1, 30, tzinfo=UTC)
    with conn.cursor() as cur:
        cur.execute("SELECT ? = ? AS same",
                    one_row([instant, instant], [pa.timestamp("us", tz="America/New_York"),
                                                 pa.timestamp("us", tz="UTC")]))
        assert cur.fetchone() == (True,)


HOSTILE_TEXTS = [
    "'", "''", "'; DROP TABLE inj; --", "\\", "\\'", "a\\'b'c", "-- comment", "/* open",
    "*/", "; SELECT 1;", "?", "'?'", "$$", "$tag$ x $tag$", "E'\\x41'", '"quoted"',
    "line\nbreak\r\n", "\t", "x" * 100_000,
]


def test_hostile_texts_come_back_unchanged_and_inject_nothing(conn):
    with conn.cursor() as cur:
        cur.execute("CREATE OR REPLACE TABLE inj (i INTEGER, s VARCHAR)")
        cur.executemany("INSERT INTO inj VALUES (?, ?)",
                        [(i, s) for i, s in enumerate(HOSTILE_TEXTS)])
        assert cur.rowcount == len(HOSTILE_TEXTS)
        # The same texts through the one-row path and in a WHERE clause.
        for i, text in enumerate(HOSTILE_TEXTS):
            cur.execute("SELECT i FROM inj WHERE s = ?", (text,))
            assert cur.fetchall() == [(i,)], repr(text[:40])
        cur.execute("SELECT s FROM inj ORDER BY i")
        assert [r[0] for r in cur.fetchall()] == HOSTILE_TEXTS


@pytest.mark.parametrize("sql, expected", [
    ("SELECT '?' AS a, ? AS b", ("?", 42)),
    ("SELECT 1 AS \"?\", ? AS b", (1, 42)),
    ("SELECT ? AS b -- is this a ?\n", (42,)),
    ("SELECT /* ? /* nested ? */ ? */ ? AS b", (42,)),
    ("SELECT E'it\\'s ?' AS a, ? AS b", ("it's ?", 42)),
    ("SELECT $$ ? $$ AS a, ? AS b", (" ? ", 42)),
    ("SELECT 10-? AS b", (-32,)),
    ("SELECT 10 - ? AS b", (-32,)),
])
def test_placeholders_are_found_only_in_code(conn, sql, expected):
    with conn.cursor() as cur:
        cur.execute(sql, (42,))
        assert cur.fetchone() == expected


def test_negative_numbers_cannot_start_a_comment(conn):
    with conn.cursor() as cur:
        cur.execute("SELECT 10-? AS b", (-5,))
        assert cur.fetchone() == (15,)


@pytest.mark.parametrize("sql, params", [
    ("SELECT ?, ?", (1,)),
    ("SELECT ?", (1, 2)),
    ("SELECT '?'", (1,)),
])
def test_count_mismatch_is_refused_before_anything_is_sent(conn, devserver, sql, params):
    before = devserver.counters()["queries"]
    with conn.cursor() as cur:
        with pytest.raises(dbapi.ProgrammingError) as raised:
            cur.execute(sql, params)
    assert raised.value.sqlstate == "07002"
    assert devserver.counters()["queries"] == before


@pytest.mark.parametrize("values, arrow_type, klass, sqlstate, text", [
    (["a\0b"], pa.string(), dbapi.DataError, "22021", "NUL"),
    ([decimal.Decimal("1.5")], pa.decimal256(50, 2), dbapi.NotSupportedError, "HYC00",
     "decimal256(50, 2)"),
    ([datetime.timedelta(seconds=1)], pa.duration("ns"), dbapi.NotSupportedError, "HYC00",
     "duration[ns]"),
    ([1], pa.time64("ns"), dbapi.DataError, "22018", "microsecond"),
])
def test_values_without_a_literal_are_refused(conn, values, arrow_type, klass, sqlstate, text):
    with conn.cursor() as cur:
        with pytest.raises(klass) as raised:
            cur.execute("SELECT ? AS v", pa.record_batch([pa.array(values, arrow_type)],
                                                         names=["v"]))
    assert raised.value.sqlstate == sqlstate
    assert text in str(raised.value)


def test_invalid_utf8_text_is_refused(conn):
    bad = pa.array([b"ok\xff"], pa.binary()).view(pa.string())
    with conn.cursor() as cur:
        with pytest.raises(dbapi.DataError, match="UTF-8"):
            cur.execute("SELECT ? AS v", pa.record_batch([bad], names=["v"]))


@pytest.mark.parametrize("sql", [
    "INSERT INTO many_t VALUES (?, ?)",          # folded into multi-row VALUES
    "INSERT INTO many_t SELECT ?, ?",            # one statement per row
])
def test_executemany_sums_rows_and_names_the_failing_row(conn, sql):
    with conn.cursor() as cur:
        cur.execute("CREATE OR REPLACE TABLE many_t (k INTEGER PRIMARY KEY, v VARCHAR)")
        cur.executemany(sql, [(i, f"v{i}") for i in range(2500)])
        assert cur.rowcount == 2500
        with pytest.raises(dbapi.IntegrityError) as raised:
            cur.executemany(sql, [(5000, "a"), (5001, "b"), (5001, "dup"), (5002, "c")])
        assert "parameter row 3" in str(raised.value)
        assert raised.value.sqlstate == "23000"
        cur.execute("SELECT k FROM many_t WHERE k >= 5000 ORDER BY k")
        assert cur.fetchall() == [(5000,), (5001,)]


def test_binding_by_name_is_refused(conn):
    with conn.cursor() as cur:
        with pytest.raises(dbapi.NotSupportedError, match="by position"):
            cur.execute("SELECT ? AS v", {"v": 1})


def test_several_rows_bound_to_a_query_give_one_stream_of_all_results(conn):
    # Peer drivers run a query once per bound row, in order, as one result.
    with conn.cursor() as cur:
        cur.execute("SELECT ? AS v", pa.record_batch([pa.array([1, 2])], names=["v"]))
        assert cur.fetchall() == [(1,), (2,)]


@pytest.mark.parametrize("sql, parameters, error", [
    ("SELECT ? AS v", {"v": 1}, dbapi.NotSupportedError),
    ("SELECT ? AS a, ? AS b", (1,), dbapi.ProgrammingError),
    ("SELECT ? AS v", pa.record_batch([pa.array(["a", "b"], pa.dictionary(pa.int8(), pa.string())),
                                       pa.array([1, None], pa.int64())], names=["v", "w"]),
     dbapi.ProgrammingError),
], ids=["by-name", "count-mismatch", "count-mismatch-several-rows"])
def test_a_refused_run_leaves_nothing_bound_for_the_next_statement(conn, sql, parameters, error):
    # A DB-API cursor binds only when it has parameters: whatever it bound for
    # the refused run must not meet the placeholders of the next one.
    with conn.cursor() as cur:
        with pytest.raises(error):
            cur.execute(sql, parameters)
        cur.execute("SELECT 1 AS one")
        assert cur.fetchall() == [(1,)]
