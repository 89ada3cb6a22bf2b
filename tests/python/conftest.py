import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("ZV_BUILD_DIR", REPO / "build"))

# The dev server's test fixture lives beside its own tests.
sys.path.insert(0, str(REPO / "tests" / "devserver"))


@pytest.fixture(scope="session")
def driver_path() -> str:
    path = pathlib.Path(os.environ.get("ZV_ADBC_DRIVER", BUILD / "src" / "libzorvane_adbc.so"))
    if not path.exists():
        pytest.fail(f"driver not built: {path} (run make build)")
    return str(path)


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    return BUILD
