"""The engine declines text holding characters whose upper or lower case its
Arrow kernels map differently from compute (src/metadata_engine/text_rules.cc).
That list must cover every such character of the pinned Arrow and DuckDB
versions: mapping every code point both ways finds them."""

import pathlib
import re

import duckdb
import pyarrow as pa
import pyarrow.compute as pc

SOURCE = pathlib.Path(__file__).resolve().parents[3] / "src" / "metadata_engine" / "text_rules.cc"


def declined_code_points() -> set[int]:
    table = SOURCE.read_text().split("kCaseMappingDiffers", 1)[1].split("}};", 1)[0]
    ranges = re.findall(r"\{0x([0-9A-Fa-f]+), 0x([0-9A-Fa-f]+)\}", table)
    return {c for first, last in ranges for c in range(int(first, 16), int(last, 16) + 1)}


def test_every_differing_case_mapping_is_declined():
    code_points = [c for c in range(0x80, 0x110000) if not 0xD800 <= c <= 0xDFFF]
    characters = pa.array([chr(c) for c in code_points])
    duck = duckdb.connect()
    duck.register("chars", pa.table({"ch": characters}))
    theirs = duck.sql("SELECT upper(ch) AS u, lower(ch) AS l FROM chars").to_arrow_table()
    ours_upper = pc.utf8_upper(characters)
    ours_lower = pc.utf8_lower(characters)
    differing = {
        c for c, a, b, x, y in zip(code_points, ours_upper.to_pylist(), theirs.column("u").to_pylist(),
                                   ours_lower.to_pylist(), theirs.column("l").to_pylist())
        if a != b or x != y
    }
    assert differing <= declined_code_points(), sorted(hex(c) for c in differing - declined_code_points())[:20]
