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
