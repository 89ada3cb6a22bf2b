import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("ZV_BUILD_DIR", REPO / "build"))
DRIVER = pathlib.Path(os.environ.get("ZV_ADBC_DRIVER", BUILD / "src" / "libzorvane_adbc.so"))

# The dev server's test fixture lives beside its own tests; the driver's
# Python package is used from the checkout, with the library under test.
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "python"))
os.environ["ZV_ADBC_DRIVER"] = str(DRIVER)


@pytest.fixture(scope="session")
def driver_path() -> str:
    if not DRIVER.exists():
        pytest.fail(f"driver not built: {DRIVER} (run make build)")
    return str(DRIVER)


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    return BUILD


@pytest.fixture(scope="session")
def tls_material(tmp_path_factory):
    """A test CA, a server certificate for zorvane.test / 127.0.0.1 / ::1 and a
    client certificate, as PEM files."""
    import trustme

    base = tmp_path_factory.mktemp("tls")
    ca = trustme.CA()
    server = ca.issue_cert("zorvane.test", "127.0.0.1", "::1")
    other_name = ca.issue_cert("elsewhere.test")
    client = ca.issue_cert("client.zorvane.test")
    files = {
        "ca": base / "ca.pem",
        "server_cert": base / "server.pem",
        "server_key": base / "server.key",
        "other_cert": base / "other.pem",
        "other_key": base / "other.key",
        "client_cert": base / "client.pem",
        "client_key": base / "client.key",
    }
    ca.cert_pem.write_to_path(str(files["ca"]))
    server.cert_chain_pems[0].write_to_path(str(files["server_cert"]))
    server.private_key_pem.write_to_path(str(files["server_key"]))
    other_name.cert_chain_pems[0].write_to_path(str(files["other_cert"]))
    other_name.private_key_pem.write_to_path(str(files["other_key"]))
    client.cert_chain_pems[0].write_to_path(str(files["client_cert"]))
    client.private_key_pem.write_to_path(str(files["client_key"]))
    return {k: str(v) for k, v in files.items()}


@pytest.fixture(scope="module")
def devserver():
    from server_fixture import start_devserver

    with start_devserver(nodes=2) as srv:
        yield srv
