"""The TLS policy on the way to compute: a control-plane URL whose scheme is
written in capitals, a host-name override on a URL that names a DNS host, a
control plane and compute node sharing one port on two loopback addresses, and
results of many frames over one kept TLS connection."""

import adbc_driver_manager.dbapi
import pytest
from server_fixture import start_devserver


def run_query(driver_path, uri, **db_options):
    with adbc_driver_manager.dbapi.connect(
            driver=driver_path,
            db_kwargs={"uri": uri, "username": "demo", "password": "demo", **db_options}) as conn:
        with conn.cursor() as cur:
            cur.execute("SELECT 42 AS answer")
            return cur.fetch_arrow_table().to_pylist()


@pytest.fixture(scope="module")
def tls_devserver(tls_material):
    with start_devserver(nodes=1, tls_cert=tls_material["server_cert"],
                         tls_key=tls_material["server_key"], ca_file=tls_material["ca"]) as srv:
        yield srv


def strict(tls_material, **more):
    return {"adbc.zorvane.tls.encrypt": "Strict",
            "adbc.zorvane.tls.ca_bundle": tls_material["ca"], **more}


@pytest.mark.parametrize("scheme", ["HTTPS", "Https"])
def test_upper_case_scheme_keeps_compute_on_https_under_strict(driver_path, tls_devserver,
                                                               tls_material, scheme):
    tls_devserver.reset_counters()
    uri = tls_devserver.url.replace("https", scheme, 1)
    assert run_query(driver_path, uri, **strict(tls_material)) == [{"answer": 42}]
    assert tls_devserver.counters()["requests_by_server"]["compute-1"]["query"] == 1


def test_host_name_override_on_a_dns_name_url(driver_path, tls_devserver, tls_material):
    uri = tls_devserver.url.replace("127.0.0.1", "localhost")
    assert uri.startswith("https://localhost:")
    tls_devserver.reset_counters()
    assert run_query(driver_path, uri, **strict(
        tls_material, **{"adbc.zorvane.tls.host_in_cert": "zorvane.test"})) == [{"answer": 42}]
    assert tls_devserver.counters()["requests_by_server"]["compute-1"]["query"] == 1


def test_control_plane_and_compute_on_one_port_of_two_addresses(driver_path, tls_material):
    with start_devserver(nodes=1, node_address="127.0.0.2", tls_cert=tls_material["server_cert"],
                         tls_key=tls_material["server_key"], ca_file=tls_material["ca"]) as srv:
        port = srv.url.rsplit(":", 1)[1]
        assert srv.node_urls["compute-1"] == f"https://127.0.0.2:{port}"
        opts = strict(tls_material, **{"adbc.zorvane.tls.host_in_cert": "zorvane.test"})
        for _ in range(2):
            assert run_query(driver_path, srv.url, **opts) == [{"answer": 42}]
        counts = srv.counters()
        # Each query reached the node over a connection of its own address,
        # never over a pooled control-plane connection.
        assert counts["requests_by_server"]["compute-1"]["query"] == 2
        assert counts["requests_by_server"]["control"].get("query", 0) == 0
        assert counts["connections"]["compute-1"] >= 1


def test_results_of_many_frames_over_one_kept_tls_connection(driver_path, tls_devserver,
                                                             tls_material):
    tls_devserver.reset_counters()
    with adbc_driver_manager.dbapi.connect(
            driver=driver_path,
            db_kwargs={"uri": tls_devserver.url, "username": "demo", "password": "demo",
                       **strict(tls_material)}) as conn:
        for _ in range(3):
            with conn.cursor() as cur:
                cur.execute("SELECT range AS n, range::VARCHAR AS s FROM range(300000)")
                table = cur.fetch_arrow_table()
            assert table.num_rows == 300000
            assert table.column("n").to_pylist()[-1] == 299999
    counts = tls_devserver.counters()
    assert counts["requests_by_server"]["compute-1"]["query"] == 3
    assert counts["connections"]["compute-1"] == 1
