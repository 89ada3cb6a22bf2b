"""The catalog snapshot through the real driver manager: the fetch at connect,
the process-wide cache, invalidation by the epoch poller, every fetch failure
(the connection still opens), and the poller's end at process exit and at
unload. Observed through the dev server's counters and the driver's log.

The snapshot cache and the poller are process-wide, so everything that
depends on the poller's timing runs in a fresh interpreter."""

import json
import os
import struct
import subprocess
import sys
import textwrap
import time

import adbc_driver_manager.dbapi
import pyarrow
import pytest
from driver_helpers import connected
from frame_client import login
from server_fixture import start_devserver

REPO_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USERS = {"demo": "demo", "alice": "pw", "bob": "pw", "carol": "pw", "dave": "pw", "erin": "pw"}


@pytest.fixture(scope="module")
def server():
    with start_devserver(nodes=1, users=USERS) as srv:
        yield srv


def debug_log(tmp_path):
    path = tmp_path / "engine.log"
    return path, {"adbc.zorvane.api_trace_path": str(path), "adbc.zorvane.log_level": "debug"}


def fetches(srv):
    return srv.counters()["snapshot_fetches"]


# -- success and the cache ---------------------------------------------------

def test_full_snapshot_registers_nine_relations_and_nine_stubs(driver_path, server, tmp_path):
    log, opts = debug_log(tmp_path)
    sequence = server.state()["catalog_version"]["sequence"]
    before = fetches(server)
    with connected(driver_path, server.url, username="alice", password="pw", **opts):
        pass
    assert fetches(server) == before + 1
    text = log.read_text()
    assert f"[INFO ] [info_schema] installed snapshot (epoch={sequence})" in text
    assert "registered 9/9 information_schema baselines + 9 empty stubs in " in text
    assert "skipping registration" not in text
    assert "[ERROR]" not in text


def test_same_url_and_user_reuse_the_cached_snapshot(driver_path, server, tmp_path):
    log, opts = debug_log(tmp_path)
    with connected(driver_path, server.url, username="bob", password="pw"):
        pass
    before = server.counters()
    with connected(driver_path, server.url, username="bob", password="pw", **opts):
        pass
    after = server.counters()
    assert after["snapshot_fetches"] == before["snapshot_fetches"]
    assert after["requests"].get("snapshot") == before["requests"].get("snapshot")
    text = log.read_text()
    assert "reused cached snapshot (epoch=" in text
    assert "for bob (skipping snapshot fetch)" in text
    assert "registered 9/9 information_schema baselines" in text
    # Another user is another key.
    with connected(driver_path, server.url, username="carol", password="pw"):
        pass
    assert fetches(server) == after["snapshot_fetches"] + 1


@pytest.mark.parametrize("fetched", [True, False], ids=["slow fetch", "slow failed fetch"])
def test_connections_missing_the_cache_together_share_one_fetch(driver_path, server, fetched):
    """Four connections of one user opened at once while the first fetch is
    held back: one fetch, whose outcome (snapshot or failure) all of them take."""
    import threading

    user = "dave" if fetched else "erin"
    before = server.counters()["requests"].get("snapshot", 0)
    server.set_fault("delay", endpoint="snapshot", seconds=1.0, times=1)
    if not fetched:
        server.set_fault("http_status", endpoint="snapshot", status=503, times=1)
    tables = []

    def open_one():
        with connected(driver_path, server.url, username=user, password="pw") as conn:
            handle = conn.get_objects(adbc_driver_manager.GetObjectsDepth.TABLES)
            objects = pyarrow.RecordBatchReader._import_from_c(handle.address).read_all().to_pylist()
            tables.append(sum(len(s["db_schema_tables"] or []) for c in objects
                              for s in c["catalog_db_schemas"] or []))

    threads = [threading.Thread(target=open_one) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    server.clear_faults()
    assert server.counters()["requests"]["snapshot"] == before + 1
    assert len(tables) == 4 and all(tables)


def test_a_token_reuses_only_what_the_same_token_fetched(driver_path, server):
    first, second = login(server.url, "demo", "demo"), login(server.url, "demo", "demo")
    assert first != second
    before = fetches(server)
    for token in (first, first, second):
        with connected(driver_path, server.url, **{"adbc.zorvane.session_token": token}):
            pass
    assert fetches(server) == before + 2


def test_someone_elses_user_name_with_a_bad_token_never_reads_their_catalog(
        driver_path, server, tmp_path):
    log, opts = debug_log(tmp_path)
    with connected(driver_path, server.url, username="alice", password="pw"):
        pass
    before = server.counters()["requests"].get("snapshot", 0)
    # No control-plane request checks a token given with an explicit compute
    # URL: the snapshot request is the first to meet the control plane.
    with adbc_driver_manager.dbapi.connect(
            driver=driver_path,
            db_kwargs={"uri": server.url, "username": "alice",
                       "adbc.zorvane.session_token": "forged-token",
                       "adbc.zorvane.compute_url": server.node_urls["compute-1"], **opts}) as conn:
        # Without a snapshot the catalog is asked of compute, which refuses the token.
        with pytest.raises(adbc_driver_manager.dbapi.Error) as raised:
            conn.adbc_get_objects(depth="tables").read_all()
        assert raised.value.sqlstate == "28000"
    assert server.counters()["requests"]["snapshot"] == before + 1
    text = log.read_text()
    assert "reused cached snapshot" not in text
    assert "snapshot fetch failed" in text


# -- failures: logged, nothing cached, the connection still opens --------------

def raw_frame(frame_type, payload=b""):
    return struct.pack(">B3xI", frame_type, len(payload)) + payload


def empty_batch(index):
    return raw_frame(2, struct.pack(">I4x", index))


def as_fault_body(frames):
    # The dev server sends a fault's body as UTF-8: bytes below 0x80 pass as is.
    body = b"".join(frames)
    assert max(body) < 0x80
    return body.decode("ascii")


INIT = raw_frame(1, b'{"epoch":5}')
STREAM = "application/vnd.zorvane.stream.v1"

FAILURES = [
    pytest.param(dict(kind="http_status", status=200, content_type=STREAM,
                      body=as_fault_body([INIT] + [empty_batch(i) for i in range(9) if i != 4])),
                 "snapshot result_set 4 missing in stream", id="missing-slot"),
    pytest.param(dict(kind="http_status", status=200, content_type=STREAM,
                      body=as_fault_body([INIT, empty_batch(0), empty_batch(9)])),
                 "snapshot BATCH result_set_index 9 out of range", id="index-out-of-range"),
    pytest.param(dict(kind="error_frame", after_batches=3, message="catalog is being rebuilt"),
                 "snapshot server-side ERROR: catalog is being rebuilt", id="error-frame"),
    pytest.param(dict(kind="truncate", after_batches=2),
                 "snapshot transfer ended mid-frame (truncated)", id="truncated"),
    pytest.param(dict(kind="http_status", status=503, body=""),
                 "snapshot fetch returned HTTP 503", id="http-status-empty-body"),
    # A text error body is read as a frame header announcing more than 256 MiB.
    pytest.param(dict(kind="http_status", status=500),
                 "snapshot HTTP error: ", id="http-status-json-body"),
    # libcurl retries a request whose reused connection died silently, once.
    pytest.param(dict(kind="close", times=2), "snapshot HTTP error: ", id="connection-dropped"),
]


@pytest.mark.parametrize("fault, message", FAILURES)
def test_failed_fetch_leaves_the_connection_open_with_empty_slots(driver_path, server, tmp_path,
                                                                  fault, message):
    # A token without a user name is never cached, so every connection fetches.
    token = login(server.url, "demo", "demo")
    log, opts = debug_log(tmp_path)
    server.set_fault(**{"endpoint": "snapshot", "times": 1, **fault})
    try:
        with connected(driver_path, server.url,
                       **{"adbc.zorvane.session_token": token, **opts}) as conn:
            assert conn is not None
    finally:
        server.clear_faults()
    text = log.read_text()
    assert f"[ERROR] [info_schema] snapshot fetch failed: {message}" in text
    assert "installed snapshot" not in text
    for slot in range(9):
        assert f"snapshot slot {slot} (information_schema." in text
    assert "registered 0/9 information_schema baselines + 9 empty stubs in " in text


def test_undecodable_slot_installs_and_caches_nothing(driver_path, server, tmp_path):
    log, opts = debug_log(tmp_path)
    fault = dict(kind="http_status", status=200, content_type=STREAM,
                 body=as_fault_body([INIT] + [empty_batch(i) for i in range(9)]))
    server.set_fault(endpoint="snapshot", times=1, **fault)
    try:
        with connected(driver_path, server.url, username="demo", password="demo", **opts):
            pass
    finally:
        server.clear_faults()
    text = log.read_text()
    assert "[ERROR] [info_schema] snapshot RS 0: empty IPC bytes" in text
    assert "registered 0/9 information_schema baselines" in text
    before = fetches(server)
    with connected(driver_path, server.url, username="demo", password="demo"):
        pass
    assert fetches(server) == before + 1, "a failed snapshot must not be cached"


# -- the poller, in fresh processes --------------------------------------------

def run_script(body, tmp_path, timeout=60, **env):
    script = textwrap.dedent("""
        import json, os, sys, time
        sys.path[:0] = [{devserver!r}, {python!r}]
        from driver_helpers import connected, open_connection
        DRIVER, URL, LOG = sys.argv[1], sys.argv[2], sys.argv[3]
        OPTS = {{"adbc.zorvane.api_trace_path": LOG, "adbc.zorvane.log_level": "debug"}}
        def wait_for_log(text, seconds=10):
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                if os.path.exists(LOG) and text in open(LOG).read():
                    return
                time.sleep(0.05)
            raise SystemExit("log never showed: " + text)
    """).format(devserver=os.path.join(REPO_TESTS, "devserver"),
                python=os.path.join(REPO_TESTS, "python")) + textwrap.dedent(body)
    return script, dict(os.environ, **env)


def run(script_env, args, timeout=60):
    script, env = script_env
    started = time.monotonic()
    proc = subprocess.run([sys.executable, "-c", script, *args], env=env, capture_output=True,
                          text=True, timeout=timeout)
    return proc, time.monotonic() - started


def test_changed_catalog_sequence_empties_the_cache(driver_path, tmp_path):
    log = tmp_path / "engine.log"
    with start_devserver(nodes=1) as srv:
        script = run_script("""
            import adbc_driver_manager.dbapi as dbapi
            from frame_client import login, query

            def connect():
                return dbapi.connect(driver=DRIVER, db_kwargs=dict(
                    OPTS, uri=URL, username="demo", password="demo"))

            def probe_rows(conn):
                # Answered from the connection's own snapshot: compute would
                # see the new table from every connection.
                with conn.cursor() as cur:
                    cur.execute("SELECT table_name FROM information_schema.tables "
                                "WHERE table_name = 'snapshot_probe'")
                    return len(cur.fetchall())

            old = connect()
            wait_for_log("catalog epoch unchanged (seq=")
            result = query(sys.argv[4], login(URL),
                           "CREATE TABLE sales.snapshot_probe (id INTEGER)")
            assert result.error is None, result.error
            wait_for_log("; evicting snapshot cache")
            new = connect()
            print(json.dumps({"old": probe_rows(old), "new": probe_rows(new)}))
            new.close()
            old.close()
        """, tmp_path, ZV_SNAPSHOT_POLL_INTERVAL_MS="100")
        before = srv.counters()["snapshot_fetches"]
        proc, _ = run(script, [driver_path, srv.url, str(log), next(iter(srv.node_urls.values()))])
        assert proc.returncode == 0, proc.stderr + proc.stdout
        # The new connection fetched again; the open one kept its snapshot.
        assert json.loads(proc.stdout.strip().splitlines()[-1]) == {"old": 0, "new": 1}
        assert srv.counters()["snapshot_fetches"] == before + 2
        sequence = srv.state()["catalog_version"]["sequence"]
    text = log.read_text()
    assert "[INFO ] [snapshot_poller] started (interval=0s, " in text
    assert f"[INFO ] [snapshot_poller] catalog epoch changed (seq={sequence}); evicting" in text
    assert f"installed snapshot (epoch={sequence})" in text
    assert "reused cached snapshot" not in text
    assert text.count("[meta_engine] served from cache (rows=") == 2


def test_a_refused_poll_token_empties_the_cache_and_the_next_connection_renews_it(
        driver_path, tmp_path):
    log = tmp_path / "engine.log"
    with start_devserver(nodes=1) as srv:
        script = run_script("""
            import urllib.request
            with connected(DRIVER, URL, username="demo", password="demo", **OPTS):
                wait_for_log("catalog epoch unchanged (seq=")
                urllib.request.urlopen(urllib.request.Request(
                    URL + "/debug/tokens/expire", data=b"{}", method="POST"), timeout=10).read()
                wait_for_log("token was refused (HTTP 401); evicting snapshot cache")
            open(LOG, "w").close()
            with connected(DRIVER, URL, username="demo", password="demo", **OPTS):
                wait_for_log("catalog epoch unchanged (seq=")
        """, tmp_path, ZV_SNAPSHOT_POLL_INTERVAL_MS="100")
        before = srv.counters()["snapshot_fetches"]
        proc, _ = run(script, [driver_path, srv.url, str(log)])
        assert proc.returncode == 0, proc.stderr + proc.stdout
        # The second connection found no cached snapshot and fetched its own.
        assert srv.counters()["snapshot_fetches"] == before + 2
    assert "reused cached snapshot" not in log.read_text()


def test_poller_uses_the_tls_settings_of_the_connection(driver_path, tls_material, tmp_path):
    # The control plane's certificate is signed by a private CA: a poll with
    # default settings could not verify it.
    log = tmp_path / "engine.log"
    with start_devserver(nodes=1, tls_cert=tls_material["server_cert"],
                         tls_key=tls_material["server_key"], ca_file=tls_material["ca"]) as srv:
        script = run_script("""
            OPTS["adbc.zorvane.tls.ca_bundle"] = sys.argv[4]
            with connected(DRIVER, URL, username="demo", password="demo", **OPTS):
                wait_for_log("catalog epoch unchanged (seq=")
        """, tmp_path, ZV_SNAPSHOT_POLL_INTERVAL_MS="100")
        proc, _ = run(script, [driver_path, srv.url, str(log), tls_material["ca"]])
        assert proc.returncode == 0, proc.stderr + proc.stdout
        assert srv.counters()["requests"].get("version", 0) >= 1
    assert "epoch poll failed" not in log.read_text()


EXIT_SCENARIOS = [
    pytest.param("""
        db, conn = open_connection(DRIVER, URL, username="demo", password="demo", **OPTS)
        wait_for_log("catalog epoch unchanged (seq=")
        # Exits with the connection still open and the poller waiting.
    """, id="connection-left-open"),
    pytest.param("""
        with connected(DRIVER, URL, username="demo", password="demo", **OPTS):
            wait_for_log("catalog epoch unchanged (seq=")
    """, id="everything-released"),
    pytest.param("""
        db, conn = open_connection(DRIVER, URL, username="demo", password="demo", **OPTS)
        wait_for_log("catalog epoch unchanged (seq=")
        # A forked child holds the poller's thread object but no thread.
        child = os.fork()
        if child == 0:
            sys.exit(0)
        deadline = time.monotonic() + 10
        while True:
            pid, status = os.waitpid(child, os.WNOHANG)
            if pid:
                break
            assert time.monotonic() < deadline, "forked child did not exit"
            time.sleep(0.05)
        assert os.waitstatus_to_exitcode(status) == 0, status
    """, id="forked-child-exits"),
]


@pytest.mark.parametrize("body", EXIT_SCENARIOS)
def test_process_exits_promptly_while_the_poller_waits(driver_path, server, tmp_path, body):
    log = tmp_path / "engine.log"
    # The default 60 s interval: the poller is mid-wait when the process ends.
    proc, elapsed = run(run_script(body, tmp_path), [driver_path, server.url, str(log)])
    assert proc.returncode == 0, proc.stderr + proc.stdout
    assert elapsed < 20
    assert "[snapshot_poller] thread exiting (stop requested)" in log.read_text()


def test_process_exits_promptly_while_a_poll_is_stalled(driver_path, tmp_path):
    # The control plane holds the version request for 30 s; exiting must not.
    log = tmp_path / "engine.log"
    with start_devserver(nodes=1) as srv:
        srv.set_fault("delay", endpoint="version", seconds=30)
        script = run_script("""
            db, conn = open_connection(DRIVER, URL, username="demo", password="demo", **OPTS)
            time.sleep(1)  # the first poll is now held by the server
        """, tmp_path, ZV_SNAPSHOT_POLL_INTERVAL_MS="50")
        proc, elapsed = run(script, [driver_path, srv.url, str(log)])
        assert proc.returncode == 0, proc.stderr + proc.stdout
        assert srv.counters()["requests"].get("version", 0) >= 1
        assert elapsed < 8, f"exit took {elapsed:.1f} s"


UNLOAD = """
    import ctypes, _ctypes
    ADBC_1_0_0 = 1000000

    class Error(ctypes.Structure):
        _fields_ = [("message", ctypes.c_char_p), ("vendor_code", ctypes.c_int32),
                    ("sqlstate", ctypes.c_char * 5), ("release", ctypes.c_void_p),
                    ("reserved", ctypes.c_void_p * 4)]

    class Handle(ctypes.Structure):
        _fields_ = [("private_data", ctypes.c_void_p), ("private_driver", ctypes.c_void_p)]

    lib = ctypes.CDLL(DRIVER)
    table = (ctypes.c_void_p * 64)()
    err = Error()
    assert lib.AdbcDriverInit(ADBC_1_0_0, ctypes.byref(table), ctypes.byref(err)) == 0

    def entry(index, *argtypes):
        return ctypes.CFUNCTYPE(ctypes.c_int, *argtypes)(table[index])

    P = ctypes.c_void_p
    release_driver = entry(2, P, P)
    db_init, db_new = entry(3, P, P), entry(4, P, P)
    db_set, db_release = entry(5, P, ctypes.c_char_p, ctypes.c_char_p, P), entry(6, P, P)
    conn_init, conn_new, conn_release = entry(12, P, P, P), entry(13, P, P), entry(16, P, P)

    db, conn = Handle(), Handle()
    e = ctypes.byref(err)
    assert db_new(ctypes.byref(db), e) == 0
    options = dict(OPTS, uri=URL, username="demo", password="demo")
    for key, value in options.items():
        assert db_set(ctypes.byref(db), key.encode(), value.encode(), e) == 0, key
    assert db_init(ctypes.byref(db), e) == 0, err.message
    assert conn_new(ctypes.byref(conn), e) == 0
    assert conn_init(ctypes.byref(conn), ctypes.byref(db), e) == 0, err.message
    wait_for_log("catalog epoch unchanged (seq=")
    assert conn_release(ctypes.byref(conn), e) == 0
    assert db_release(ctypes.byref(db), e) == 0
    assert release_driver(ctypes.byref(table), e) == 0

    _ctypes.dlclose(lib._handle)
    del lib
    maps = open("/proc/self/maps").read()
    print(json.dumps({"unloaded": os.path.basename(DRIVER) not in maps}))
    # Several poll intervals: a poller left running would now execute unmapped code.
    time.sleep(0.5)
"""


def test_unloading_the_library_stops_the_poller(driver_path, server, tmp_path):
    log = tmp_path / "engine.log"
    proc, elapsed = run(run_script(UNLOAD, tmp_path, ZV_SNAPSHOT_POLL_INTERVAL_MS="100"),
                        [driver_path, server.url, str(log)])
    assert proc.returncode == 0, proc.stderr + proc.stdout
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == {"unloaded": True}
    assert elapsed < 20
    assert "[snapshot_poller] thread exiting (stop requested)" in log.read_text()
