"""Stands in for polars under `make test-tsan`, which puts this folder first on
PYTHONPATH: polars' native library crashes while loading into a process with
libtsan preloaded, and the driver manager's DB-API module imports it when it
can. Hosts that cannot import polars fall back to pyarrow, which is all the
threaded tests use."""

raise ImportError("polars is not loaded under ThreadSanitizer")
