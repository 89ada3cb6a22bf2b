"""Arrow types through ingest and a query back, in both payload formats: the
types the service stores as sent come back exactly; the others come back as
the README's round-trip table says, with the same values; types the service
or the payload cannot carry are refused before anything is sent."""

import decimal
import itertools

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi
import pyarrow as pa
import pytest
from driver_helpers import demo_dbapi

_names = itertools.count()
UTC = "UTC"

# name, column, type read back (None: the same type)
ROUND_TRIPS = [
    ("bool", pa.array([True, False, None]), None),
    ("int8", pa.array([-128, 127, None], pa.int8()), None),
    ("int16", pa.array([-32768, 1, None], pa.int16()), None),
    ("int32", pa.array([-2**31, 1, None], pa.int32()), None),
    ("int64", pa.array([-2**63, 2**63 - 1, None], pa.int64()), None),
    ("uint8", pa.array([0, 255, None], pa.uint8()), None),
    ("uint16", pa.array([0, 65535, None], pa.uint16()), None),
    ("uint32", pa.array([0, 2**32 - 1, None], pa.uint32()), None),
    ("uint64", pa.array([0, 2**64 - 1, None], pa.uint64()), None),
    ("float32", pa.array([1.5, float("inf"), None], pa.float32()), None),
    ("float64", pa.array([0.1, -0.0, None], pa.float64()), None),
    ("decimal", pa.array([decimal.Decimal("-12345678.90"), None], pa.decimal128(10, 2)), None),
    ("decimal38", pa.array([decimal.Decimal("1." + "0" * 36 + "1"), None], pa.decimal128(38, 37)), None),
    ("utf8", pa.array(["é ☃", "", None]), None),
    ("binary", pa.array([b"\x00\xff", b"", None]), None),
    ("date32", pa.array([-1, 19000, None], pa.date32()), None),
    ("time64_us", pa.array([0, 86399999999, None], pa.time64("us")), None),
    ("timestamp_s", pa.array([-1, 2**33, None], pa.timestamp("s")), None),
    ("timestamp_ms", pa.array([-1, 2**40, None], pa.timestamp("ms")), None),
    ("timestamp_us", pa.array([-1, 2**50, None], pa.timestamp("us")), None),
    ("timestamp_ns", pa.array([-1, 2**62, None], pa.timestamp("ns")), None),
    ("list", pa.array([[1, None], [], None], pa.list_(pa.int32())), None),
    ("fixed_size_list", pa.array([[1, 2], None], pa.list_(pa.float64(), 2)), None),
    ("struct", pa.array([{"a b": 1, "c": "x"}, None], pa.struct([("a b", pa.int32()), ("c", pa.utf8())])), None),
    ("map", pa.array([[("k", 1)], None], pa.map_(pa.utf8(), pa.int32())), None),
    # Stored in a wider or plainer column type: same values, that type back.
    ("large_utf8", pa.array(["x", None], pa.large_utf8()), pa.utf8()),
    ("string_view", pa.array(["x", None], pa.string_view()), pa.utf8()),
    ("large_binary", pa.array([b"x", None], pa.large_binary()), pa.binary()),
    ("fixed_size_binary", pa.array([b"ab", None], pa.binary(2)), pa.binary()),
    ("date64", pa.array([86400000, None], pa.date64()), pa.date32()),
    ("time32_s", pa.array([1, None], pa.time32("s")), pa.time64("us")),
    ("time32_ms", pa.array([1, None], pa.time32("ms")), pa.time64("us")),
    ("time64_ns", pa.array([1000, None], pa.time64("ns")), pa.time64("us")),
    ("timestamp_tz", pa.array([1, None], pa.timestamp("us", "America/New_York")), pa.timestamp("us", UTC)),
    ("timestamp_ns_tz", pa.array([1000, None], pa.timestamp("ns", "Asia/Tokyo")), pa.timestamp("us", UTC)),
    ("dictionary", pa.array(["x", "y", "x", None]).dictionary_encode(), pa.utf8()),
    ("large_list", pa.array([[1], None], pa.large_list(pa.int32())), pa.list_(pa.int32())),
    ("duration_us", pa.array([5, None], pa.duration("us")), pa.month_day_nano_interval()),
]


@pytest.fixture(scope="module")
def conn(driver_path, devserver):
    with demo_dbapi(driver_path, devserver.url) as c:
        yield c


def ingest(conn, table, data, payload_format):
    stmt = dm.AdbcStatement(conn.adbc_connection)
    try:
        stmt.set_options(**{"adbc.ingest.target_table": table, "adbc.ingest.mode": "create",
                            "zv.ingest.payload_format": payload_format})
        stmt.bind_stream(data.to_reader())
        return stmt.execute_update()
    finally:
        stmt.close()


def read_back(conn, table):
    with conn.cursor() as cur:
        cur.execute(f'SELECT * FROM "{table}"')
        return cur.fetch_arrow_table()


def same_values(got, sent, read_type):
    if pa.types.is_duration(sent.type):
        nanos = sent.cast(pa.int64()).to_pylist()
        unit = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}[sent.type.unit]
        expected = [None if n is None else pa.MonthDayNano([0, 0, n * unit]) for n in nanos]
        return got.to_pylist() == expected
    if pa.types.is_dictionary(sent.type):
        sent = sent.dictionary_decode()
    return got.to_pylist() == sent.cast(read_type).to_pylist()


@pytest.mark.parametrize("payload_format", ["arrow_ipc", "parquet"])
@pytest.mark.parametrize("name,column,read_type", ROUND_TRIPS, ids=[r[0] for r in ROUND_TRIPS])
def test_round_trip(conn, payload_format, name, column, read_type):
    table = f"types_{name}_{next(_names)}"
    data = pa.table({"c": column, "n": pa.array(range(len(column)), pa.int32())})
    assert ingest(conn, table, data, payload_format) == len(column)
    got = read_back(conn, table).sort_by("n")
    expected_type = read_type or column.type
    assert got.schema.field("c").type == expected_type
    assert same_values(got["c"].combine_chunks(), column, expected_type)


@pytest.mark.parametrize("payload_format,column,state,fragment", [
    ("arrow_ipc", pa.array([1.0], pa.float16()), "HYC00", "column 'c' has Arrow type halffloat"),
    ("arrow_ipc", pa.array([None], pa.null()), "HYC00", "column 'c' has Arrow type null"),
    ("parquet", pa.array([pa.MonthDayNano([1, 2, 3])], pa.month_day_nano_interval()), "HYC00",
     "cannot carry"),
    ("arrow_ipc", pa.array([1], pa.timestamp("ns", "UTC")), "22018", "nanoseconds"),
    ("parquet", pa.array([1500], pa.time64("ns")), "22018", "nanoseconds"),
])
def test_what_cannot_be_stored_is_refused_before_sending(conn, devserver, payload_format, column, state,
                                                          fragment):
    before = devserver.counters()["ingests_committed"]
    with pytest.raises(dm.Error) as raised:
        ingest(conn, f"types_bad_{next(_names)}", pa.table({"c": column}), payload_format)
    assert raised.value.sqlstate == state, raised.value
    assert fragment in str(raised.value)
    assert devserver.counters()["ingests_committed"] == before


def test_interval_round_trips_in_arrow_ipc(conn):
    column = pa.array([pa.MonthDayNano([1, 2, 3000]), None], pa.month_day_nano_interval())
    table = f"types_interval_{next(_names)}"
    ingest(conn, table, pa.table({"c": column}), "arrow_ipc")
    assert read_back(conn, table)["c"].combine_chunks() == column


@pytest.mark.parametrize("payload_format", ["arrow_ipc", "parquet"])
def test_a_batch_over_the_frame_ceiling_is_sliced(conn, payload_format):
    # One 288 MiB batch: more than one 256 MiB frame carries.
    blob = b"z" * (1 << 20)
    rows = 288
    data = pa.table({"n": pa.array(range(rows), pa.int32()),
                     "b": pa.array([blob] * rows, pa.large_binary())})
    assert data.to_batches()[0].nbytes > 256 << 20
    table = f"types_big_{next(_names)}"
    assert ingest(conn, table, data, payload_format) == rows
    with conn.cursor() as cur:
        cur.execute(f"SELECT count(*) AS c, sum(octet_length(b)) AS s, count(DISTINCT n) AS d FROM {table}")
        assert cur.fetchone() == (rows, rows << 20, rows)
