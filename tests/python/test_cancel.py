"""Cancelling running queries: from another thread, by Ctrl-C in a Python
host, per statement and per connection; the server stops the statement's
work when the client goes away."""

import signal
import subprocess
import sys
import textwrap
import threading
import time

import adbc_driver_manager as dm
import adbc_driver_manager.dbapi as dbapi
import pytest

# Runs far longer than any test: only a cancellation ends it.
ENDLESS = "SELECT count(*) FROM range(100000000000) t WHERE hash(t.range) % 7 = 3"


def dbapi_connect(driver_path, uri):
    return dbapi.connect(driver=driver_path,
                         db_kwargs={"uri": uri, "username": "demo", "password": "demo"})


# Generous: on a loaded machine DuckDB's interrupted threads and the event
# loop that notices the client leave compete for the same cores.
def wait_for(predicate, seconds=90):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return False


def interrupted(devserver):
    return devserver.counters()["queries_interrupted"]


@pytest.mark.parametrize("how", ["statement", "connection"])
def test_cancel_from_another_thread_stops_the_query_on_the_server(driver_path, devserver, how):
    before = interrupted(devserver)
    with dbapi_connect(driver_path, devserver.url) as conn:
        cur = conn.cursor()
        queries = devserver.counters()["queries"]
        cancel = cur.adbc_cancel if how == "statement" else conn.adbc_connection.cancel
        # Cancel once the server has the statement.
        threading.Thread(target=lambda: wait_for(
            lambda: devserver.counters()["queries"] > queries) and cancel()).start()
        with pytest.raises(dbapi.OperationalError) as raised:
            cur.execute(ENDLESS)
            cur.fetchall()
        assert raised.value.status_code == dm.AdbcStatusCode.CANCELLED
        assert raised.value.sqlstate == "57014"
        # The cursor works again afterwards.
        cur.execute("SELECT 1")
        assert cur.fetchall() == [(1,)]
        cur.close()
    assert wait_for(lambda: interrupted(devserver) > before), "server never interrupted DuckDB"


def test_cancel_while_reading_ends_the_stream_with_cancelled(driver_path, devserver):
    # A slow stream: the host is still reading when the cancel arrives.
    devserver.set_fault("drip", endpoint="query", chunk_bytes=4096, interval=0.01, times=1)
    try:
        with dbapi_connect(driver_path, devserver.url) as conn:
            with conn.cursor() as cur:
                cur.execute("SELECT range AS v FROM range(20000000)")
                threading.Timer(1.0, cur.adbc_cancel).start()
                with pytest.raises(dbapi.OperationalError) as raised:
                    cur.fetch_arrow_table()
                assert raised.value.status_code == dm.AdbcStatusCode.CANCELLED
                assert raised.value.sqlstate == "57014"
    finally:
        devserver.clear_faults()


def test_cancelling_idle_or_finished_statements_changes_nothing(driver_path, devserver):
    with dbapi_connect(driver_path, devserver.url) as conn:
        with conn.cursor() as cur:
            cur.adbc_cancel()
            conn.adbc_connection.cancel()
            cur.execute("SELECT 42 AS v")
            assert cur.fetchall() == [(42,)]
            cur.adbc_cancel()  # racing the end: the result was fully read
            cur.execute("SELECT 43 AS v")
            assert cur.fetchall() == [(43,)]


def test_ctrl_c_during_fetch_stops_the_query(driver_path, devserver):
    before = interrupted(devserver)
    script = textwrap.dedent(f"""
        import adbc_driver_manager.dbapi as dbapi
        conn = dbapi.connect(driver={driver_path!r}, db_kwargs={{"uri": {devserver.url!r},
            "username": "demo", "password": "demo"}})
        cur = conn.cursor()
        print("ready", flush=True)
        try:
            cur.execute({ENDLESS!r})
            cur.fetch_arrow_table()
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        except dbapi.OperationalError as exc:
            # Ctrl-C while execute still waits for the first data cancels
            # the statement, which execute then reports.
            print("interrupted" if exc.sqlstate == "57014" else "failed", exc, flush=True)
        cur.execute("SELECT 7")
        print("after", cur.fetchall(), flush=True)
    """)
    # Counted before the host starts: its query may reach the server before
    # this process reads "ready".
    queries = devserver.counters()["queries"]
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        assert wait_for(lambda: devserver.counters()["queries"] > queries)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert "interrupted" in out and "after [(7,)]" in out, out
    assert wait_for(lambda: interrupted(devserver) > before)


def test_connection_cancel_stops_a_catalog_question_asked_of_compute(driver_path, devserver):
    # The current catalog is asked of compute each time; a connection's Cancel
    # must stop it like any of its queries, not wait for a slow server.
    with dbapi_connect(driver_path, devserver.url) as conn:
        devserver.set_fault("delay", endpoint="query", seconds=60, times=1)
        # The server holds the answer back for a minute; cancel well before.
        threading.Timer(2.0, conn.adbc_connection.cancel).start()
        started = time.monotonic()
        with pytest.raises(dbapi.OperationalError) as raised:
            _ = conn.adbc_current_catalog
        assert raised.value.status_code == dm.AdbcStatusCode.CANCELLED
        assert time.monotonic() - started < 50
        devserver.clear_faults()
