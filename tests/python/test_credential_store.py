"""The credential store against a real Secret Service: a private D-Bus session
with gnome-keyring, entries written by another tool (secret-tool)."""

import os
import shutil
import subprocess

import pytest

pytestmark = pytest.mark.skipif(
    not (shutil.which("dbus-daemon") and shutil.which("gnome-keyring-daemon")
         and shutil.which("secret-tool")),
    reason="needs dbus-daemon, gnome-keyring-daemon and secret-tool (scripts/setup.sh installs them)")


@pytest.fixture
def probe(build_dir):
    path = build_dir / "tests" / "cpp" / "zv_credential_store_probe"
    assert path.exists(), "build the project first"
    return str(path)


class Keyring:
    def __init__(self, env):
        self.env = env

    def store(self, target, name, secret):
        subprocess.run(["secret-tool", "store", "--label=zorvane test", "target", target,
                        "name", name], input=secret, text=True, env=self.env, check=True,
                       timeout=20)


@pytest.fixture
def keyring(tmp_path):
    """A session bus and an unlocked keyring private to this test."""
    runtime = tmp_path / "run"
    runtime.mkdir(mode=0o700)
    env = dict(os.environ, HOME=str(tmp_path), XDG_DATA_HOME=str(tmp_path / "data"),
               XDG_RUNTIME_DIR=str(runtime))
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                           stdout=subprocess.PIPE, text=True, env=env)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    subprocess.run(["gnome-keyring-daemon", "--unlock", "--components=secrets"],
                   input="keyring-pw", text=True, env=env, check=True, timeout=20,
                   capture_output=True)
    yield Keyring(env)
    # The keyring daemon exits with its bus.
    bus.terminate()
    bus.wait(timeout=10)


def lookup(probe, env, target, name):
    return subprocess.run([probe, target, name], env=env, capture_output=True, text=True,
                          timeout=30, check=True).stdout.strip()


def test_reads_entries_by_exact_target_and_name(probe, keyring):
    keyring.store("http://cp.example:8080", "Pwd:alice", "pässwörd-1")
    keyring.store("http://cp.example:8080", "Token:default", "tok-xyz")
    assert lookup(probe, keyring.env, "http://cp.example:8080", "Pwd:alice") == "found pässwörd-1"
    assert lookup(probe, keyring.env, "http://cp.example:8080", "Token:default") == "found tok-xyz"
    # Targets are compared as given: a trailing slash is another target.
    assert lookup(probe, keyring.env, "http://cp.example:8080/", "Pwd:alice") == "not-found"
    assert lookup(probe, keyring.env, "http://cp.example:8080", "Pwd:bob") == "not-found"
    assert lookup(probe, keyring.env, "http://cp.example:8080", "Token:alice") == "not-found"


def test_no_reachable_secret_service_means_not_found(probe, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
    assert lookup(probe, env, "http://h", "Pwd:alice") == "not-found"
    env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={tmp_path}/no-such-bus"
    assert lookup(probe, env, "http://h", "Pwd:alice") == "not-found"


CONNECT_SCRIPT = """
import sys
import adbc_driver_manager as dm
driver, uri = sys.argv[1], sys.argv[2]
try:
    with dm.AdbcDatabase(driver=driver, uri=uri, username="demo") as db:
        with dm.AdbcConnection(db):
            print("connected")
except dm.Error as exc:
    print("refused", exc.sqlstate, exc)
"""


def connect_with_username_only(driver_path, url, env):
    import sys
    return subprocess.run([sys.executable, "-c", CONNECT_SCRIPT, driver_path, url], env=env,
                          capture_output=True, text=True, timeout=60, check=True).stdout


def test_connection_takes_its_password_from_the_store(driver_path, keyring):
    from server_fixture import start_devserver

    with start_devserver(nodes=1) as srv:
        # No entry: no password, so the connection is refused before any traffic.
        assert "refused" in connect_with_username_only(driver_path, srv.url, keyring.env)
        keyring.store(srv.url, "Pwd:demo", "demo")
        assert connect_with_username_only(driver_path, srv.url, keyring.env).startswith(
            "connected")
        assert srv.counters()["logins"] == 1
        # A wrong stored password is an authentication error like any other.
        keyring.store(srv.url, "Pwd:demo", "not-the-password")
        out = connect_with_username_only(driver_path, srv.url, keyring.env)
        assert out.startswith("refused 28000"), out
        assert "not-the-password" not in out
