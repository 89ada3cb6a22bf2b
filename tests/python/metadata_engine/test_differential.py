"""A bounded differential run with a fixed seed (see differential.py): every
statement the driver answers locally must equal DuckDB's answer over the same
snapshot data, and most catalog statements must still be answered locally.
`make fuzz` runs the same tester longer with random seeds."""

import os

import differential

QUERIES = int(os.environ.get("ZV_DIFFERENTIAL_QUERIES", "400"))
SEED = int(os.environ.get("ZV_DIFFERENTIAL_SEED", "20261208"))


def test_local_answers_equal_duckdbs(driver_path):
    report = differential.run(driver_path, QUERIES, SEED)
    print(report.summary())
    assert not report.differences, "\n\n".join(report.differences[:10])
    assert report.local_share >= 0.85, report.summary()
