"""Bundle a shared library's dependencies beside it, as `auditwheel repair` does.

Every library the driver needs, directly or through another, is copied into
one folder of the wheel under a name made unique by a hash of its content
(so it never stands in for, or is replaced by, a system copy of the same
library already loaded in the process), and the references between them are
rewritten to those names. Left out are glibc, the C++ runtime and pyarrow's
libraries: the first two come with every Linux system, and pyarrow's must be
the very copies the installed pyarrow uses.
"""

from __future__ import annotations

import hashlib
import pathlib
import re
import shutil
import subprocess

# glibc's libraries and the C++ runtime, by soname prefix.
SYSTEM_PREFIXES = (
    "linux-vdso.so", "ld-linux", "libc.so", "libm.so", "libdl.so", "librt.so",
    "libpthread.so", "libresolv.so", "libutil.so", "libstdc++.so", "libgcc_s.so",
)
PYARROW_LIBRARY = re.compile(r"^lib(arrow|parquet)[a-z_]*\.so")


def is_system(soname: str) -> bool:
    return soname.startswith(SYSTEM_PREFIXES)


def is_pyarrow(soname: str) -> bool:
    return PYARROW_LIBRARY.match(soname) is not None


def resolved_paths(library: pathlib.Path) -> dict[str, pathlib.Path]:
    """soname -> file, as the dynamic loader resolves them for `library`."""
    out = subprocess.run(["ldd", str(library)], check=True, capture_output=True, text=True).stdout
    paths = {}
    for line in out.splitlines():
        match = re.match(r"\s*(\S+) => (\S+) \(", line)
        if match:
            paths[match.group(1)] = pathlib.Path(match.group(2))
        elif "not found" in line:
            raise RuntimeError(f"{library}: dependency not found: {line.strip()}")
    return paths


def needed(patchelf: str, library: pathlib.Path) -> list[str]:
    out = subprocess.run([patchelf, "--print-needed", str(library)], check=True,
                         capture_output=True, text=True).stdout
    return out.split()


def dependency_closure(patchelf: str, library: pathlib.Path) -> dict[str, pathlib.Path]:
    """The libraries to bundle: everything reachable from `library` except
    system and pyarrow libraries (whose own dependencies are not followed)."""
    paths = resolved_paths(library)
    bundle: dict[str, pathlib.Path] = {}
    pending = [library]
    while pending:
        for soname in needed(patchelf, pending.pop()):
            if is_system(soname) or is_pyarrow(soname) or soname in bundle:
                continue
            if soname not in paths:
                raise RuntimeError(f"{soname} is needed but ldd did not resolve it")
            bundle[soname] = paths[soname]
            pending.append(paths[soname])
    return bundle


def unique_name(soname: str, path: pathlib.Path) -> str:
    digest = hashlib.sha256(path.read_bytes()).hexdigest()[:8]
    stem, dot, version = soname.partition(".so")
    return f"{stem}-{digest}{dot}{version}"


def replace_needed_args(names: dict[str, str]) -> list[str]:
    args = []
    for old, new in names.items():
        args += ["--replace-needed", old, new]
    return args


def vendor(patchelf: str, driver: pathlib.Path, libs_dir: pathlib.Path,
           driver_rpath: str) -> list[str]:
    """Copy `driver`'s dependencies into `libs_dir`, rename them, and point
    every reference at the copies. Returns the bundled sonames."""
    bundle = dependency_closure(patchelf, driver)
    names = {soname: unique_name(soname, path) for soname, path in bundle.items()}
    libs_dir.mkdir(parents=True, exist_ok=True)
    renames = replace_needed_args(names)
    for soname, path in bundle.items():
        copy = libs_dir / names[soname]
        shutil.copyfile(path, copy)
        copy.chmod(0o755)
        subprocess.run([patchelf, "--set-soname", names[soname], "--set-rpath", "$ORIGIN",
                        *renames, str(copy)], check=True)
    subprocess.run([patchelf, "--set-rpath", driver_rpath, *renames, str(driver)], check=True)
    return sorted(bundle)
