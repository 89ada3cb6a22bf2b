"""Login, bearer-token checks, compute routing, catalog version and snapshot."""
import pyarrow as pa
import pytest
from frame_client import BATCH, INIT, Http, login, query, snapshot

SLOTS = ["catalogs", "schemata", "tables", "columns", "views", "key_column_usage", "odbc_columns",
         "table_constraints", "referential_constraints"]


@pytest.fixture
def cp(devserver):
    http = Http(devserver.url, login(devserver.url))
    yield http
    http.close()


def test_login_returns_session_token_and_refuses_bad_input(devserver):
    http = Http(devserver.url)
    status, body = http.json("POST", "/api/v1/auth/token",
                             {"grant_type": "password", "password": "demo", "username": "demo"})
    assert status == 200 and body["session_token"] and body["subject_id"] == "user:demo"
    assert isinstance(body["expires_in"], int)
    status, body = http.json("POST", "/api/v1/auth/token",
                             {"grant_type": "password", "password": "nope", "username": "demo"})
    assert status == 401 and body == {"error": "invalid_grant", "message": "invalid credentials"}
    for bad in [b"{not json", b"[1]", b'{"grant_type":"password","username":"demo","password":1}',
                b'{"grant_type":"password","username":"demo","password":"demo","extra":1}',
                b'{"grant_type":"password","username":"\xff","password":"demo"}',
                b'{"grant_type":"client_credentials","username":"demo","password":"demo"}']:
        status, body = http.json("POST", "/api/v1/auth/token", bad)
        assert status == 400 and body["message"], bad
    http.close()


@pytest.mark.parametrize("method,path", [
    ("POST", "/api/v1/nodes/recommend"), ("POST", "/api/v1/nodes/recommend/x/confirm"),
    ("POST", "/api/v1/nodes/recommend/x/abandon"), ("GET", "/api/v1/admin/compute-nodes/by-ref/compute-1"),
    ("GET", "/api/v1/events/version"), ("GET", "/api/v1/odbc/info_schema/snapshot")])
def test_every_endpoint_but_login_needs_a_valid_token(devserver, method, path):
    for token in (None, "not-a-token"):
        status, body = Http(devserver.url, token).json(method, path, {})
        assert status == 401 and "Unauthorized" in body["message"]


def test_compute_endpoints_need_a_valid_token(devserver):
    for url in devserver.node_urls.values():
        assert query(url, "bogus", "SELECT 1").status == 401


def test_recommend_confirm_abandon(cp, devserver):
    status, rec = cp.json("POST", "/api/v1/nodes/recommend",
                          {"purpose": "Query", "requiredCaps": ["sql_execution"], "sessionId": "user:demo"})
    assert status == 200
    assert f"http://{rec['hostname']}:{rec['port']}" == devserver.node_urls[rec["nodeEntityRef"]]
    rid = rec["reservationId"]
    assert cp.json("POST", f"/api/v1/nodes/recommend/{rid}/confirm", b"{}")[0] == 200
    assert cp.json("POST", "/api/v1/nodes/recommend/unknown/confirm", b"{}")[0] == 404
    _, other = cp.json("POST", "/api/v1/nodes/recommend", {"purpose": "Query", "requiredCaps": ["sql_execution"]})
    assert other["nodeEntityRef"] != rec["nodeEntityRef"]  # spread over the nodes
    assert cp.json("POST", f"/api/v1/nodes/recommend/{other['reservationId']}/abandon", b"{}")[0] == 200
    assert cp.json("POST", f"/api/v1/nodes/recommend/{other['reservationId']}/abandon", b"{}")[0] == 404
    assert cp.json("POST", "/api/v1/nodes/recommend", {"requiredCaps": ["gpu"]})[0] == 503
    assert cp.json("POST", "/api/v1/nodes/recommend", {"purpose": 5})[0] == 400


def test_lookup_by_reference_reports_status_and_unknown_nodes(cp, devserver):
    status, node = cp.json("GET", "/api/v1/admin/compute-nodes/by-ref/compute-2")
    assert status == 200 and node["status"] == "active" and isinstance(node["port"], int)
    assert f"http://{node['ipAddress']}:{node['port']}" == devserver.node_urls["compute-2"]
    status, body = cp.json("GET", "/api/v1/admin/compute-nodes/by-ref/no%20such%2Fnode")
    assert status == 404 and "no such/node" in body["message"]
    devserver.set_node_status("compute-2", "draining")
    try:
        assert cp.json("GET", "/api/v1/admin/compute-nodes/by-ref/compute-2")[1]["status"] == "draining"
        for _ in range(3):
            _, rec = cp.json("POST", "/api/v1/nodes/recommend", {"purpose": "Query"})
            assert rec["nodeEntityRef"] == "compute-1"
    finally:
        devserver.set_node_status("compute-2", "active")


def test_query_names_a_known_node_or_none(devserver):
    token = login(devserver.url)
    url = devserver.node_urls["compute-1"]
    assert query(url, token, "SELECT 1", headers={"x-zorvane-node": "compute-1"}).status == 200
    assert query(url, token, "SELECT 1", headers={"x-zorvane-node": ""}).status == 200
    assert query(url, token, "SELECT 1", headers={"x-zorvane-node": "compute-9"}).status == 404


def test_catalog_sequence_changes_on_ddl_only(cp, devserver):
    token = cp.token
    url = devserver.node_urls["compute-1"]
    seq = lambda: cp.json("GET", "/api/v1/events/version")[1]["sequence"]  # noqa: E731
    start = seq()
    query(url, token, "SELECT count(*) FROM sales.orders")
    assert seq() == start
    query(url, token, "CREATE TABLE seq_probe (a INTEGER)")
    after_create = seq()
    assert after_create > start
    query(url, token, "ALTER TABLE seq_probe ADD COLUMN b VARCHAR")
    assert seq() > after_create
    after_alter = seq()
    query(url, token, "DROP TABLE seq_probe")
    assert seq() > after_alter


def test_snapshot_has_nine_slots_from_the_catalog(devserver):
    token = login(devserver.url)
    result = snapshot(devserver.url, token)
    assert result.status == 200 and not result.truncated
    assert result.frames[0][0] == INIT
    epoch = result.init["epoch"]
    assert isinstance(epoch, int) and epoch > 0
    batches = [p for t, p in result.frames if t == BATCH]
    assert [int.from_bytes(p[:4], "big") for p in batches] == list(range(9))
    slots = {}
    for name, payload in zip(SLOTS, batches):
        reader = pa.ipc.open_stream(pa.py_buffer(payload[8:]))
        slots[name] = reader.read_next_batch().to_pylist()
    assert {r["table_name"]: r["table_type"] for r in slots["tables"]}["order_totals"] == "VIEW"
    cols = {(r["table_name"], r["column_name"]): r for r in slots["columns"]}
    price = cols[("products", "unit_price")]
    assert (price["data_type"], price["numeric_precision"], price["numeric_scale"]) == ("DECIMAL(10,2)", 10, 2)
    assert cols[("customers", "customer_id")]["is_nullable"] == "NO"
    assert cols[("customers", "email")]["description"] == "Contact address"
    assert cols[("orders", "status")]["column_default"] == "'open'"
    kinds = {(r["table_name"], r["constraint_type"]) for r in slots["table_constraints"]}
    assert ("orders", "PRIMARY KEY") in kinds and ("orders", "FOREIGN KEY") in kinds
    pk = [r["column_name"] for r in slots["key_column_usage"] if r["constraint_name"].startswith("order_items")
          and r["constraint_name"].endswith("pkey")]
    assert pk == ["order_id", "line_no"]
    assert slots["referential_constraints"] and slots["catalogs"] == [{"catalog_name": "zorvane", "description": None}]
    odbc = {(r["table_name"], r["column_name"]): r for r in slots["odbc_columns"]}
    assert odbc[("customers", "customer_id")]["data_type"] == 4
    assert odbc[("customers", "customer_id")]["column_size"] == 10


def test_snapshot_kept_between_changes_follows_each_change(devserver):
    token = login(devserver.url)
    url = devserver.node_urls["compute-1"]

    def tables():
        result = snapshot(devserver.url, token)
        payload = [p for t, p in result.frames if t == BATCH][2]
        rows = pa.ipc.open_stream(pa.py_buffer(payload[8:])).read_next_batch().to_pylist()
        return result.init["epoch"], {r["table_name"] for r in rows}

    first = tables()
    assert tables() == first  # nothing changed: the same snapshot again
    query(url, token, "CREATE TABLE kept_probe (a INTEGER)")
    epoch, names = tables()
    assert epoch > first[0] and "kept_probe" in names
    query(url, token, "DROP TABLE kept_probe")
    assert "kept_probe" not in tables()[1]
