"""A long-lived connection's catalog answers follow changes other clients make:
GetObjects, GetTableSchema and information_schema queries answered locally
reflect them within the connection's bound (adbc.zorvane.catalog_max_age_sec),
at the cost of at most one version request per bound for the whole process,
and a control plane that fails the check never makes an answer fail or go
stale. The other client writes through the service's own HTTP API, so nothing
it does reaches this process's caches."""

import itertools
import threading
import time

import adbc_driver_manager
import adbc_driver_manager.dbapi as dbapi
import pytest
from driver_helpers import run
from frame_client import login, query
from server_fixture import start_devserver

BOUND = 1  # seconds; short, so the tests wait little past it
_names = itertools.count()


@pytest.fixture(scope="module")
def server():
    with start_devserver(nodes=1) as srv:
        yield srv


@pytest.fixture(scope="module")
def other_client(server):
    """Runs SQL as another client of the service would, outside this process."""
    node = next(iter(server.node_urls.values()))

    def execute(sql):
        result = query(node, login(server.url), sql)
        assert result.error is None, result.error

    return execute


def connect(driver_path, server, max_age=BOUND, **db_options):
    conn_kwargs = {} if max_age is None else {"adbc.zorvane.catalog_max_age_sec": str(max_age)}
    return dbapi.connect(driver=driver_path, autocommit=True, conn_kwargs=conn_kwargs,
                         db_kwargs={"uri": server.url, "username": "demo", "password": "demo",
                                    **db_options})


def tables_in_get_objects(conn, table):
    objects = conn.adbc_get_objects(depth="tables", db_schema_filter="sales",
                                    table_name_filter=table).read_all().to_pylist()
    return [t["table_name"] for c in objects for s in c["catalog_db_schemas"] or []
            for t in s["db_schema_tables"] or []]


def columns_in_information_schema(conn, table):
    sql = ("SELECT column_name FROM information_schema.columns "
           f"WHERE table_schema = 'sales' AND table_name = '{table}' ORDER BY ordinal_position")
    return run(conn, sql)["column_name"].to_pylist()


def table_schema_names(conn, table):
    return conn.adbc_get_table_schema(table, db_schema_filter="sales").names


def version_requests(server):
    return server.counters()["requests"]["version"]


def past_the_bound():
    time.sleep(BOUND + 0.3)


def test_create_alter_and_drop_by_another_client_are_followed(driver_path, server, other_client):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server) as conn:
        assert tables_in_get_objects(conn, table) == []
        other_client(f"CREATE TABLE sales.{table} (a INTEGER)")
        past_the_bound()
        assert tables_in_get_objects(conn, table) == [table]
        assert columns_in_information_schema(conn, table) == ["a"]
        assert table_schema_names(conn, table) == ["a"]

        other_client(f"ALTER TABLE sales.{table} ADD COLUMN b VARCHAR")
        past_the_bound()
        assert columns_in_information_schema(conn, table) == ["a", "b"]
        assert table_schema_names(conn, table) == ["a", "b"]

        other_client(f"DROP TABLE sales.{table}")
        past_the_bound()
        assert tables_in_get_objects(conn, table) == []
        assert columns_in_information_schema(conn, table) == []


def test_answers_within_the_bound_cost_no_request_and_stay_stable(driver_path, server,
                                                                  other_client):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server, max_age=3600) as conn:
        assert tables_in_get_objects(conn, table) == []
        before = version_requests(server)
        other_client(f"CREATE TABLE sales.{table} (a INTEGER)")
        for _ in range(20):
            assert tables_in_get_objects(conn, table) == []
            assert columns_in_information_schema(conn, table) == []
        # The epoch poller may ask once in the meantime; the answers do not.
        assert version_requests(server) - before <= 1
        other_client(f"DROP TABLE sales.{table}")


def test_connections_of_one_process_share_one_check_per_bound(driver_path, server):
    conns = [connect(driver_path, server) for _ in range(6)]
    try:
        for conn in conns:
            tables_in_get_objects(conn, "none")
        past_the_bound()
        before = version_requests(server)
        # One thread per connection, as ADBC asks of hosts.
        threads = [threading.Thread(target=tables_in_get_objects, args=(conn, "none"))
                   for conn in conns]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert version_requests(server) - before <= 2  # one, and perhaps the poller's
    finally:
        for conn in conns:
            conn.close()


def test_a_bound_of_zero_confirms_before_every_answer(driver_path, server):
    with connect(driver_path, server, max_age=0) as conn:
        before = version_requests(server)
        for _ in range(5):
            tables_in_get_objects(conn, "none")
        assert version_requests(server) - before >= 5


def test_the_bound_is_an_option_read_back_and_checked(driver_path, server):
    with connect(driver_path, server, max_age=None) as conn:
        key = "adbc.zorvane.catalog_max_age_sec"
        assert conn.adbc_connection.get_option(key) == "5"
        conn.adbc_connection.set_options(**{key: "17"})
        assert conn.adbc_connection.get_option_int(key) == 17
        with pytest.raises(adbc_driver_manager.ProgrammingError, match=key):
            conn.adbc_connection.set_options(**{key: "-1"})


@pytest.mark.parametrize("fault", [
    {"kind": "http_status", "status": 500, "body": "down"},
    {"kind": "http_status", "status": 200, "body": "not json", "content_type": "application/json"},
    {"kind": "http_status", "status": 200, "body": "{}", "content_type": "application/json"},
    {"kind": "delay", "seconds": 30},
], ids=["500", "garbage", "no-sequence", "stall"])
def test_a_failing_version_check_keeps_the_snapshot_answering(driver_path, server, tmp_path,
                                                              fault):
    log = tmp_path / "engine.log"
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server, **{"adbc.zorvane.api_trace_path": str(log)}) as conn:
        assert tables_in_get_objects(conn, "none") == []
        past_the_bound()
        server.set_fault(endpoint="version", **fault)
        try:
            # Answers for longer than the bound, so the connection checks at
            # least once during the fault, whatever the process learned before.
            started = time.monotonic()
            while time.monotonic() - started < 2 * BOUND + 0.5:
                assert tables_in_get_objects(conn, table) == []
                assert columns_in_information_schema(conn, table) == []
                time.sleep(0.2)
            # A stalled control plane delays one answer by the check's own
            # limit, not by the connection's 30 s; far from a hang either way.
            assert time.monotonic() - started < 20
        finally:
            server.clear_faults()
        warnings = [line for line in log.read_text().splitlines()
                    if "catalog version check failed" in line]
        assert len(warnings) == 1 and "[WARN ]" in warnings[0], warnings
        past_the_bound()
        assert tables_in_get_objects(conn, "none") == []  # checks again, and recovers


def test_a_moved_catalog_whose_snapshot_cannot_be_fetched_is_answered_by_compute(
        driver_path, server, other_client):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server) as conn:
        assert tables_in_get_objects(conn, table) == []
        other_client(f"CREATE TABLE sales.{table} (a INTEGER)")
        past_the_bound()
        server.set_fault("http_status", endpoint="snapshot", status=503, body="busy")
        try:
            # Never the old snapshot's answer, which would miss the table.
            assert tables_in_get_objects(conn, table) == [table]
            assert columns_in_information_schema(conn, table) == ["a"]
            assert table_schema_names(conn, table) == ["a"]
        finally:
            server.clear_faults()
            other_client(f"DROP TABLE sales.{table}")


def test_a_version_that_goes_backwards_reloads_a_consistent_snapshot(driver_path, server,
                                                                    other_client):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server) as conn:
        tables_in_get_objects(conn, table)
        other_client(f"CREATE TABLE sales.{table} (a INTEGER)")
        past_the_bound()
        server.set_fault("http_status", endpoint="version", status=200, times=1,
                         body='{"sequence": 1}', content_type="application/json")
        try:
            assert tables_in_get_objects(conn, table) == [table]
            assert columns_in_information_schema(conn, table) == ["a"]
        finally:
            server.clear_faults()
            other_client(f"DROP TABLE sales.{table}")


def test_cancel_during_a_reload_ends_the_call_at_once(driver_path, server, other_client):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server) as conn:
        tables_in_get_objects(conn, table)
        other_client(f"CREATE TABLE sales.{table} (a INTEGER)")
        past_the_bound()
        server.set_fault("delay", endpoint="snapshot", seconds=20, times=1)
        outcome = {}

        def call():
            started = time.monotonic()
            try:
                outcome["tables"] = tables_in_get_objects(conn, table)
            except adbc_driver_manager.Error as e:
                outcome["error"] = e
            outcome["seconds"] = time.monotonic() - started

        worker = threading.Thread(target=call)
        worker.start()
        time.sleep(1.0)
        conn.adbc_connection.cancel()
        worker.join(30)
        server.clear_faults()
        assert outcome["seconds"] < 10, outcome
        error = outcome.get("error")
        assert error is not None and error.status_code == adbc_driver_manager.AdbcStatusCode.CANCELLED
        assert error.sqlstate == "57014"
        # The next call reloads and answers.
        past_the_bound()
        assert tables_in_get_objects(conn, table) == [table]
        other_client(f"DROP TABLE sales.{table}")


def test_an_expired_token_is_renewed_by_the_version_check(driver_path, server):
    table = f"follow_t{next(_names)}"
    with connect(driver_path, server) as conn:
        tables_in_get_objects(conn, table)
        server.expire_tokens()
        fresh = login(server.url)
        result = query(next(iter(server.node_urls.values())), fresh,
                       f"CREATE TABLE sales.{table} (a INTEGER)")
        assert result.error is None, result.error
        past_the_bound()
        assert tables_in_get_objects(conn, table) == [table]
        run(conn, f"DROP TABLE sales.{table}")
