"""The wheel as a user gets it: built from this checkout, installed with pip
into a new virtual environment that holds only it, the dev server and their
dependencies, and used from there (wheel_session.py) with the checkout and
its environment out of reach.

To keep the cost low the wheel packs the library `make build` already made
(same optimisation; the wheel build strips it), and pip installs from a local
folder of downloaded wheels (ZV_WHEEL_CACHE, default
~/.cache/zorvane-adbc/wheels), filled from the package index only when a
pinned package is missing, without compiling .py files.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import venv

import pytest

from server_fixture import start_devserver
from test_credential_store import keyring, pytestmark as needs_keyring  # noqa: F401

REPO = pathlib.Path(__file__).resolve().parents[2]
CACHE = pathlib.Path(os.environ.get("ZV_WHEEL_CACHE",
                                    pathlib.Path.home() / ".cache" / "zorvane-adbc" / "wheels"))
# What a user of the wheel would install beside it (versions from requirements.txt).
THIRD_PARTY = ("pyarrow", "adbc-driver-manager", "pandas", "polars", "duckdb", "aiohttp")
# Build-time needs of `pip install ./devserver`, kept in the same folder.
BUILD_TOOLS = ("setuptools>=61", "wheel")


def pinned(names):
    pins = {}
    for line in (REPO / "requirements.txt").read_text().splitlines():
        name, sep, version = line.partition("==")
        if sep and name.strip() in names:
            pins[name.strip()] = f"{name.strip()}=={version.strip()}"
    missing = set(names) - set(pins)
    assert not missing, f"not pinned in requirements.txt: {missing}"
    return list(pins.values())


def pip(*args, python=None):
    target = ["--python", str(python)] if python else []
    return subprocess.run([sys.executable, "-m", "pip", *target, *args], capture_output=True,
                          text=True)


def pip_install_offline_first(python, packages):
    offline = ("install", "--no-compile", "--no-index", "--find-links", str(CACHE), *packages)
    result = pip(*offline, python=python)
    if result.returncode != 0:
        CACHE.mkdir(parents=True, exist_ok=True)
        fetched = pip("download", "-q", "-d", str(CACHE), *pinned(THIRD_PARTY), *BUILD_TOOLS)
        assert fetched.returncode == 0, fetched.stderr
        result = pip(*offline, python=python)
    assert result.returncode == 0, result.stderr


@pytest.fixture(scope="module")
def wheel(tmp_path_factory, driver_path):
    out = tmp_path_factory.mktemp("wheelhouse")
    result = pip("wheel", "-q", "--no-build-isolation", "--no-deps", str(REPO / "python"),
                 "-w", str(out), "--config-settings", f"library={driver_path}",
                 "--config-settings", f"build_dir={out / 'build'}")
    assert result.returncode == 0, result.stderr
    (found,) = out.glob("adbc_driver_zorvane-*.whl")
    assert (out / "build" / "libadbc_driver_zorvane.so.debug").stat().st_size > 0
    return found


@pytest.fixture(scope="module")
def user_venv(tmp_path_factory, wheel):
    root = tmp_path_factory.mktemp("user") / "venv"
    venv.EnvBuilder(with_pip=False).create(root)
    python = root / "bin" / "python"
    pip_install_offline_first(python, [str(wheel), str(REPO / "devserver"),
                                       *pinned(("pandas", "polars"))])
    return root


def user_env(base):
    return {k: v for k, v in base.items()
            if k not in ("PYTHONPATH", "ZV_ADBC_DRIVER", "ADBC_DRIVER_PATH", "VIRTUAL_ENV",
                         "LD_LIBRARY_PATH")}


def installed_devserver(user_venv):
    return start_devserver(nodes=1, fault_injection=False,
                           command=[str(user_venv / "bin" / "zorvane-devserver")])


def test_the_installed_wheel_serves_a_whole_session(user_venv, tmp_path):
    with installed_devserver(user_venv) as server:
        env = user_env(os.environ)
        script = shutil.copy(REPO / "tests" / "python" / "wheel_session.py", tmp_path)
        result = subprocess.run(
            [str(user_venv / "bin" / "python"), "-I", script, server.url, str(REPO),
             str(REPO / ".venv")],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "wheel session: all checks passed" in result.stdout


# The bundled libsecret and GLib talk to the desktop's Secret Service.
@needs_keyring
def test_the_installed_wheel_reads_the_password_from_the_keyring(user_venv, keyring, tmp_path):
    with installed_devserver(user_venv) as server:
        keyring.store(server.url, "Pwd:demo", "demo")
        code = ("import sys, adbc_driver_zorvane.dbapi as d\n"
                "with d.connect(sys.argv[1], db_kwargs={'username': 'demo'}) as c:\n"
                "    cur = c.cursor(); cur.execute('SELECT 7'); print(cur.fetchone()[0])\n")
        result = subprocess.run([str(user_venv / "bin" / "python"), "-I", "-c", code, server.url],
                                cwd=tmp_path, env=user_env(keyring.env), capture_output=True,
                                text=True, timeout=120)
    assert result.returncode == 0 and result.stdout.strip() == "7", result.stderr
