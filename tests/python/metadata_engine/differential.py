"""Differential tester of the metadata engine: random SELECTs over every
information_schema relation, run through the driver (loaded by the ADBC driver
manager) against a dev server holding a rich catalog, and every answer the
driver gave locally compared with what compute answers for the same SQL: the
dev server's own query runner over a DuckDB holding the snapshot data under
the dev server's catalog name. Column names and Arrow types must match as well
as the rows, and a local answer where compute raises is a difference.

    .venv/bin/python tests/python/metadata_engine/differential.py [--queries N] [--seed S|random]

The pytest module beside this file runs a bounded count with a fixed seed;
`make fuzz` runs this script longer with a random seed. A difference prints
the SQL with both answers; the summary reports how many queries the driver
answered locally.
"""

from __future__ import annotations

import argparse
import decimal
import math
import pathlib
import random
import sys
import tempfile
import time
from dataclasses import dataclass, field

import adbc_driver_manager.dbapi as dbapi
import duckdb
import pyarrow as pa

REPO = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tests" / "devserver"))
sys.path.insert(0, str(REPO / "devserver"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import frame_client  # noqa: E402
from server_fixture import start_devserver  # noqa: E402
from strict_shapes import StrictShapes  # noqa: E402

from zorvane_devserver import CATALOG_NAME  # noqa: E402
from zorvane_devserver.query_runner import QueryRun  # noqa: E402

# The schema that stands for information_schema on the reference side (a
# DuckDB schema cannot take that name), so that every qualified spelling of a
# relation or column renders the same way on both sides.
REFERENCE_SCHEMA = "zvinfo"

SLOTS = ("catalogs", "schemata", "tables", "columns", "views", "key_column_usage", "odbc_columns",
         "table_constraints", "referential_constraints")

# Relations the driver knows by their columns only (the service does not
# deliver their rows): every statement over them must go to compute.
STUBS = {
    "routines": ["specific_catalog", "specific_schema", "specific_name", "routine_name", "routine_type", "data_type"],
    "parameters": ["specific_catalog", "specific_schema", "specific_name", "parameter_name", "data_type"],
    "table_privileges": ["grantor", "grantee", "table_catalog", "table_schema", "table_name", "privilege_type"],
    "column_privileges": ["grantor", "grantee", "table_schema", "table_name", "column_name", "privilege_type"],
    "usage_privileges": ["grantor", "grantee", "object_schema", "object_name", "object_type"],
    "triggers": ["trigger_catalog", "trigger_schema", "trigger_name", "event_object_table"],
    "sequences": ["sequence_catalog", "sequence_schema", "sequence_name", "data_type"],
    "domains": ["domain_catalog", "domain_schema", "domain_name", "data_type"],
    "check_constraints": ["constraint_catalog", "constraint_schema", "constraint_name", "check_clause"],
}

# ---------------------------------------------------------------------------
# The catalog: mixed-case and non-ASCII names, names with % and _, keys and
# constraints, views, dozens of tables, two with hundreds of columns and one
# with thousands.

SCHEMAS = ["SalesEU", "café", "data_%_x", "lab_1", "analytics", "Ünïcode"]
COLUMN_TYPES = ["INTEGER", "BIGINT", "VARCHAR", "DECIMAL(10,2)", "DOUBLE", "BOOLEAN", "TIMESTAMP", "DATE",
                "SMALLINT", "VARCHAR(40)", "TIMESTAMP WITH TIME ZONE", "BLOB", "REAL"]
COLUMN_NAMES = ["id", "name", "Name2", "créé_le", "amount", "pct%", "under_score", "x", "note", "Ordre", "ÆØÅ",
                "total", "qty", "flag", "code"]
TABLE_NAMES = ["orders", "Orders2", "ordre_été", "pct%_tbl", "under_score", "customers", "items", "événements",
               "t", "MixedCase"]


def quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def catalog_ddl(rng: random.Random) -> list[str]:
    ddl = []
    for schema in SCHEMAS:
        ddl.append(f"CREATE SCHEMA IF NOT EXISTS {quote(schema)}")
    ddl.append("CREATE SCHEMA IF NOT EXISTS empty_schema")
    for schema in SCHEMAS:
        names = rng.sample(TABLE_NAMES, rng.randint(4, 7))
        first = f"{quote(schema)}.{quote(names[0])}"
        ddl.append(f"CREATE TABLE {first} (id INTEGER PRIMARY KEY, code VARCHAR UNIQUE, "
                   f"amount DECIMAL(10,2) CHECK (amount >= 0), created TIMESTAMP DEFAULT current_timestamp)")
        for name in names[1:]:
            columns = ["id INTEGER PRIMARY KEY"]
            for column in rng.sample(COLUMN_NAMES[1:], rng.randint(2, 9)):
                column_type = rng.choice(COLUMN_TYPES)
                extra = rng.choice(["", "", " NOT NULL", " DEFAULT NULL"])
                columns.append(f"{quote(column)} {column_type}{extra}")
            columns.append(f"parent_id INTEGER REFERENCES {first} (id)")
            ddl.append(f"CREATE TABLE {quote(schema)}.{quote(name)} ({', '.join(columns)})")
        ddl.append(f"CREATE VIEW {quote(schema)}.{quote('v_' + names[1])} AS "
                   f"SELECT * FROM {quote(schema)}.{quote(names[1])} WHERE id > 1")
    # The widest one makes information_schema.columns large enough for the
    # lookup structures and top-k passes the engine keeps for large relations.
    for width, schema in ((220, "analytics"), (340, "lab_1"), (4200, "SalesEU")):
        columns = [f"{quote(rng.choice(COLUMN_NAMES) + '_' + str(i))} {rng.choice(COLUMN_TYPES)}"
                   for i in range(width)]
        ddl.append(f"CREATE TABLE {quote(schema)}.{quote('wide_' + str(width))} ({', '.join(columns)})")
    return ddl


# ---------------------------------------------------------------------------
# Query generation. Each query is written once with placeholders {tables} etc.
# for the relations and rendered twice: with information_schema names for the
# driver and with the names the DuckDB side registered.


@dataclass
class Relation:
    name: str
    strings: list[str]
    integers: list[str]
    samples: dict[str, list]
    stub: bool = False


# Shapes of catalog queries as hosts write them; the others probe strictness
# and are mostly left to compute.
CATALOG_SHAPES = ("simple", "grouped", "joined", "subquery", "derived_catalog")


@dataclass
class Query:
    template: str
    ordered: bool = False  # ORDER BY fixes the order of all rows
    star: bool = False
    shape: str = "simple"

    def render(self, engine_side: bool) -> str:
        schema = "information_schema" if engine_side else REFERENCE_SCHEMA
        names = {r: f"{schema}.{r}" for r in list(SLOTS) + list(STUBS)}
        return self.template.format(IS=schema, **names)


NON_ASCII_WORDS = ["café", "CAFÉ", "Ünïcode", "été", "ÆØÅ", "straße", "ΣΊΣΥΦΟΣ"]


class Generator(StrictShapes):
    def __init__(self, rng: random.Random, relations: dict[str, Relation]):
        self.rng = rng
        self.relations = relations
        self.real = [r for r in relations.values() if not r.stub and (r.strings or r.integers)]

    # -- values and scalar expressions ------------------------------------
    def string_value(self, rel: Relation, column: str) -> str:
        samples = [v for v in rel.samples.get(column, []) if v is not None]
        if samples and self.rng.random() < 0.75:
            return self.rng.choice(samples)
        return self.rng.choice(NON_ASCII_WORDS + ["", "x", "main", "BASE TABLE", "VIEW", "YES", "NO"])

    @staticmethod
    def literal(text: str) -> str:
        return "'" + text.replace("'", "''") + "'"

    def like_pattern(self, rel: Relation, column: str, case_insensitive: bool) -> str:
        if self.rng.random() < 0.06:
            return "NULL"
        value = self.string_value(rel, column)
        r = self.rng.random()
        if r < 0.25 and value:
            pattern = value[: self.rng.randint(1, len(value))] + "%"
        elif r < 0.5 and len(value) > 2:
            start = self.rng.randint(0, len(value) - 2)
            pattern = "%" + value[start:start + 2] + "%"
        elif r < 0.65 and value:
            chars = list(value)
            chars[self.rng.randrange(len(chars))] = "_"
            pattern = "".join(chars)
        elif r < 0.72:
            pattern = self.rng.choice(["%\\%%", "a\\_b%"])  # a backslash: dialect-dependent
        else:
            pattern = value
        if case_insensitive and self.rng.random() < 0.6:
            pattern = pattern.upper() if self.rng.random() < 0.5 else pattern.lower()
        return self.literal(pattern)

    def int_constant(self) -> str:
        r = self.rng.random()
        if r < 0.8:
            return str(self.rng.randint(-3, 60))
        if r < 0.9:
            return self.rng.choice(["1.5", "0.5", "2.0", "0.1"])  # decimal constants
        return self.rng.choice(["3000000000", "-1"])

    def col(self, q: str, column: str) -> str:
        return f"{q}.{quote(column)}" if q else quote(column)

    def string_expr(self, rel: Relation, q: str) -> str:
        column = self.col(q, self.rng.choice(rel.strings))
        r = self.rng.random()
        if r < 0.55:
            return column
        if r < 0.7:
            return f"{self.rng.choice(['upper', 'lower'])}({column})"
        if r < 0.8:
            return f"coalesce({column}, {self.literal(self.rng.choice(['none', 'é']))})"
        if r < 0.9:
            other = self.col(q, self.rng.choice(rel.strings))
            return f"{column} || '.' || {other}"
        return f"CASE WHEN {column} IS NULL THEN 'null' ELSE {column} END"

    def int_expr(self, rel: Relation, q: str) -> str:
        if not rel.integers or self.rng.random() < 0.15:
            return f"length({self.col(q, self.rng.choice(rel.strings))})"
        column = self.col(q, self.rng.choice(rel.integers))
        r = self.rng.random()
        if r < 0.5:
            return column
        if r < 0.65:
            return f"{column} * 2 + 1"
        if r < 0.75:
            return f"{column} % 3"
        if r < 0.8:
            return f"{column} / 2"  # integer division: dialect-dependent
        if r < 0.9:
            return f"coalesce({column}, -1)"
        return f"{column} - {self.int_constant()}"

    def predicate(self, rel: Relation, q: str, depth: int = 0) -> str:
        r = self.rng.random()
        if depth < 2 and r < 0.25:
            op = self.rng.choice(["AND", "OR"])
            return f"({self.predicate(rel, q, depth + 1)} {op} {self.predicate(rel, q, depth + 1)})"
        if depth < 2 and r < 0.3:
            return f"NOT ({self.predicate(rel, q, depth + 1)})"
        if not rel.strings or (rel.integers and self.rng.random() < 0.3):
            column = self.col(q, self.rng.choice(rel.integers)) if rel.integers else "1"
            kind = self.rng.random()
            if kind < 0.5:
                op = self.rng.choice(["=", "<>", "<", "<=", ">", ">="])
                return f"{self.int_expr(rel, q)} {op} {self.int_constant()}"
            if kind < 0.7:
                items = ", ".join(self.int_constant() for _ in range(self.rng.randint(1, 4)))
                if self.rng.random() < 0.2:
                    items += ", NULL"
                return f"{column} {self.rng.choice(['IN', 'NOT IN'])} ({items})"
            if kind < 0.85:
                return f"{column} IS {self.rng.choice(['', 'NOT '])}NULL"
            return f"CASE WHEN {column} > {self.int_constant()} THEN 1 ELSE 0 END = 1"
        column = self.rng.choice(rel.strings)
        ref = self.col(q, column)
        kind = self.rng.random()
        if kind < 0.3:
            op = self.rng.choice(["=", "=", "<>", "<", ">="])
            return f"{self.string_expr(rel, q) if self.rng.random() < 0.3 else ref} {op} " \
                   f"{self.literal(self.string_value(rel, column))}"
        if kind < 0.6:
            ci = self.rng.random() < 0.45
            op = ("NOT " if self.rng.random() < 0.25 else "") + ("ILIKE" if ci else "LIKE")
            return f"{ref} {op} {self.like_pattern(rel, column, ci)}"
        if kind < 0.75:
            items = ", ".join(self.literal(self.string_value(rel, column)) for _ in range(self.rng.randint(1, 4)))
            if self.rng.random() < 0.15:
                items += ", NULL"
            return f"{ref} {self.rng.choice(['IN', 'NOT IN'])} ({items})"
        if kind < 0.87:
            return f"{ref} IS {self.rng.choice(['', 'NOT '])}NULL"
        return f"length({ref}) {self.rng.choice(['>', '<=', '='])} {self.rng.randint(0, 12)}"

    # -- statements --------------------------------------------------------
    def relation(self) -> Relation:
        if self.rng.random() < 0.04:
            return self.relations[self.rng.choice(list(STUBS))]
        return self.rng.choice(self.real)

    def projection(self, rel: Relation, q: str) -> tuple[list[str], list[str]]:
        """(select items, output names)."""
        items, names = [], []
        for i in range(self.rng.randint(1, 4)):
            r = self.rng.random()
            if r < 0.55 and rel.strings:
                column = self.rng.choice(rel.strings)
                if column in names:
                    continue
                items.append(self.col(q, column))
                names.append(column)
            elif r < 0.7 and rel.integers:
                column = self.rng.choice(rel.integers)
                if column in names:
                    continue
                items.append(self.col(q, column))
                names.append(column)
            elif r < 0.85 and rel.strings:
                items.append(f"{self.string_expr(rel, q)} AS e{i}")
                names.append(f"e{i}")
            else:
                items.append(f"{self.int_expr(rel, q)} AS e{i}")
                names.append(f"e{i}")
        if not items:
            column = (rel.strings or rel.integers)[0]
            items, names = [self.col(q, column)], [column]
        return items, names

    def order_by(self, names: list[str], extra: list[str]) -> str:
        keys = []
        for _ in range(self.rng.randint(1, 2)):
            r = self.rng.random()
            if r < 0.4 or not extra:
                key = quote(self.rng.choice(names))
            elif r < 0.55:
                key = str(self.rng.randint(1, len(names)))
            else:
                key = self.rng.choice(extra)  # a FROM column, qualified or not, maybe outside the select list
            direction = self.rng.choice(["", " ASC", " DESC"])
            nulls = self.rng.choice(["", "", " NULLS FIRST", " NULLS LAST"])
            keys.append(key + direction + nulls)
        # Every output column as a tie-breaker: the order is then total.
        keys += [str(i + 1) for i in range(len(names))]
        return " ORDER BY " + ", ".join(keys)

    def limit(self) -> str:
        r = self.rng.random()
        if r < 0.6:
            return ""
        if r < 0.85:
            return f" LIMIT {self.rng.randint(0, 30)}"
        return f" LIMIT {self.rng.randint(1, 30)} OFFSET {self.rng.randint(0, 40)}"

    def simple(self) -> Query:
        rel = self.relation()
        q = self.rng.choice(["", "", "r"])
        alias = " r" if q else ""
        distinct = self.rng.random() < 0.2
        items, names = self.projection(rel, q)
        sql = f"SELECT {'DISTINCT ' if distinct else ''}{', '.join(items)} FROM {{{rel.name}}}{alias}"
        if self.rng.random() < 0.8 and (rel.strings or rel.integers):
            sql += " WHERE " + self.predicate(rel, q)
        if self.rng.random() < 0.6:
            extra = [] if distinct else [self.col(q, c) for c in (rel.strings + rel.integers)]
            return Query(sql + self.order_by(names, extra) + self.limit(), ordered=True)
        return Query(sql)

    def grouped(self) -> Query:
        rel = self.relation()
        keys = self.rng.sample(rel.strings, min(len(rel.strings), self.rng.randint(0, 2))) if rel.strings else []
        aggregates = ["count(*) AS n"]
        if rel.integers:
            column = quote(self.rng.choice(rel.integers))
            aggregates += self.rng.sample([f"sum({column}) AS s", f"min({column}) AS mn", f"max({column}) AS mx",
                                           f"avg({column}) AS a", f"count({column}) AS c"], 2)
        if rel.strings:
            aggregates.append(f"max({quote(self.rng.choice(rel.strings))}) AS ms")
        items = [quote(k) for k in keys] + aggregates
        names = keys + [a.rsplit(" AS ", 1)[1] for a in aggregates]
        sql = f"SELECT {', '.join(items)} FROM {{{rel.name}}}"
        if self.rng.random() < 0.5:
            sql += " WHERE " + self.predicate(rel, "")
        if keys:
            sql += " GROUP BY " + ", ".join(quote(k) for k in keys)
        if self.rng.random() < 0.5:
            return Query(sql + self.order_by(names, []) + self.limit(), ordered=True, shape="grouped")
        return Query(sql, shape="grouped")

    JOINS = [
        ("tables", "columns", ["table_schema", "table_name"]),
        ("schemata", "tables", [("schema_name", "table_schema")]),
        ("table_constraints", "key_column_usage", ["constraint_schema", "constraint_name"]),
        ("views", "tables", ["table_schema", "table_name"]),
        ("tables", "table_constraints", ["table_schema", "table_name"]),
        ("referential_constraints", "table_constraints", [("unique_constraint_name", "constraint_name")]),
    ]

    def joined(self) -> Query:
        left_name, right_name, keys = self.rng.choice(self.JOINS)
        left, right = self.relations[left_name], self.relations[right_name]
        kind = self.rng.choice(["JOIN", "JOIN", "LEFT JOIN", "INNER JOIN"])
        pairs = [(k, k) if isinstance(k, str) else k for k in keys]
        if self.rng.random() < 0.2 and all(a == b for a, b in pairs) and kind != "LEFT JOIN":
            condition = f"USING ({', '.join(quote(a) for a, _ in pairs)})"
            using = True
        else:
            condition = "ON " + " AND ".join(f"a.{quote(a)} = b.{quote(b)}" for a, b in pairs)
            using = False
            if self.rng.random() < 0.2 and kind != "LEFT JOIN":
                condition += " AND " + self.predicate(right, "b", 2)
        items, names = [], []
        for side, rel in (("a", left), ("b", right)):
            for column in self.rng.sample(rel.strings, min(2, len(rel.strings))):
                if using and column in [a for a, _ in pairs]:
                    continue
                alias = f"{side}_{column}"
                items.append(f"{side}.{quote(column)} AS {quote(alias)}")
                names.append(alias)
        if not items:
            items, names = ["count(*) AS n"], ["n"]
        sql = f"SELECT {', '.join(items)} FROM {{{left_name}}} a {kind} {{{right_name}}} b {condition}"
        if self.rng.random() < 0.6:
            side, rel = self.rng.choice([("a", left), ("b", right)])
            sql += " WHERE " + self.predicate(rel, side)
        if names != ["n"] and self.rng.random() < 0.6:
            extra = [f"a.{quote(c)}" for c in left.strings] + [f"b.{quote(c)}" for c in right.strings]
            return Query(sql + self.order_by(names, extra) + self.limit(), ordered=True, shape="joined")
        return Query(sql, shape="joined")

    def with_subquery(self) -> Query:
        rel = self.relation()
        inner = self.rng.choice(self.real)
        q = "r"
        items, names = self.projection(rel, q)
        sql = f"SELECT {', '.join(items)} FROM {{{rel.name}}} r WHERE "
        shared = [c for c in rel.strings if c in inner.strings]
        r = self.rng.random()
        if shared and r < 0.4:
            column = self.rng.choice(shared)
            inner_where = f" WHERE {self.predicate(inner, 'i')}" if self.rng.random() < 0.6 else ""
            sql += f"r.{quote(column)} {self.rng.choice(['IN', 'NOT IN'])} " \
                   f"(SELECT i.{quote(column)} FROM {{{inner.name}}} i{inner_where})"
        elif shared and r < 0.7:
            column = self.rng.choice(shared)
            sql += f"{self.rng.choice(['', 'NOT '])}EXISTS (SELECT 1 FROM {{{inner.name}}} i " \
                   f"WHERE i.{quote(column)} = r.{quote(column)})"
        elif inner.integers and rel.integers:
            column = quote(self.rng.choice(inner.integers))
            sql += f"r.{quote(self.rng.choice(rel.integers))} >= (SELECT {self.rng.choice(['max', 'min'])}({column}) " \
                   f"FROM {{{inner.name}}})"
        else:
            sql += self.predicate(rel, q)
        if self.rng.random() < 0.5:
            return Query(sql + self.order_by(names, []) + self.limit(), ordered=True, shape="subquery")
        return Query(sql, shape="subquery")

    def derived(self) -> Query:
        rel = self.relation()
        items, names = self.projection(rel, "")
        inner = f"SELECT {', '.join(items)} FROM {{{rel.name}}}"
        if self.rng.random() < 0.6:
            inner += " WHERE " + self.predicate(rel, "")
        outer_items = ", ".join(f"d.{quote(n)}" for n in names)
        sql = f"SELECT {outer_items} FROM ({inner}) d"
        if self.rng.random() < 0.5:
            return Query(sql + self.order_by(names, []) + self.limit(), ordered=True, shape="derived_catalog")
        return Query(sql, shape="derived_catalog")

    def query(self) -> Query:
        shape = self.rng.choices([self.simple, self.grouped, self.joined, self.with_subquery, self.derived,
                                  self.strict],
                                 weights=[25, 10, 9, 7, 4, 45])[0]
        return shape()


# ---------------------------------------------------------------------------
# Running and comparing.


def normalise(value):
    """Values compared by what they are, not by their Arrow width (Arrow types
    are compared on their own): an integer equals the same decimal, and a
    double is compared to 9 places, its sign kept for zero."""
    if value is None:
        return ("", "")
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, (int, float, decimal.Decimal)):
        number = float(value)
        if isinstance(value, int) or (isinstance(value, decimal.Decimal) and value == value.to_integral_value()):
            return ("num", int(value))
        if number == 0 and math.copysign(1.0, number) < 0:
            return ("num", "-0.0")
        return ("num", round(number, 9)) if math.isfinite(number) else ("num", str(number))
    return (type(value).__name__, value)


def rows_of(table: pa.Table) -> list[tuple]:
    return [tuple(normalise(v) for v in row.values()) for row in table.to_pylist()]


def sort_key(row: tuple) -> tuple:
    return tuple((kind, str(value)) for kind, value in row)


def type_name(arrow_type: pa.DataType) -> str:
    """Text types compare as one: how a string column is laid out is the
    transport's business, not the answer's."""
    if pa.types.is_large_string(arrow_type) or str(arrow_type) == "string_view":
        return "string"
    return str(arrow_type)


@dataclass
class ShapeCount:
    total: int = 0
    local: int = 0
    differences: int = 0


@dataclass
class Report:
    total: int = 0
    local: int = 0
    differences: list[str] = field(default_factory=list)
    compute_errors: int = 0
    shapes: dict[str, ShapeCount] = field(default_factory=dict)

    @property
    def local_share(self) -> float:
        """The share of catalog queries (the shapes hosts send) answered locally."""
        counts = [c for name, c in self.shapes.items() if name in CATALOG_SHAPES]
        total = sum(c.total for c in counts)
        return sum(c.local for c in counts) / total if total else 0.0

    def count(self, query: Query) -> ShapeCount:
        return self.shapes.setdefault(query.shape, ShapeCount())

    def summary(self) -> str:
        lines = [f"{self.total} queries, {self.local} answered locally, {len(self.differences)} differences, "
                 f"{self.compute_errors} refused by compute; catalog shapes answered locally: "
                 f"{100 * self.local_share:.1f} %"]
        for name in sorted(self.shapes):
            c = self.shapes[name]
            lines.append(f"  {name:16} {c.total:5} queries {c.local:5} local {c.differences:4} differences")
        return "\n".join(lines)


class _ReferenceDatabase:
    """What zorvane_devserver's QueryRun needs of its Database: a fresh cursor
    on a DuckDB whose current catalog has the dev server's name."""

    def __init__(self):
        self._root = duckdb.connect(":memory:")
        self._root.execute(f"ATTACH ':memory:' AS {CATALOG_NAME}")
        self._root.execute(f"USE {CATALOG_NAME}")
        self._root.execute(f"CREATE SCHEMA {REFERENCE_SCHEMA}")

    def cursor(self) -> duckdb.DuckDBPyConnection:
        cur = self._root.cursor()
        cur.execute(f"USE {CATALOG_NAME}")
        return cur

    def load(self, name: str, table: pa.Table) -> None:
        cur = self.cursor()
        cur.register("incoming", table)
        cur.execute(f"CREATE TABLE {REFERENCE_SCHEMA}.{name} AS SELECT * FROM incoming")
        cur.unregister("incoming")
        cur.close()


class Session:
    """A dev server with the rich catalog, a driver connection, and compute's
    reference: the dev server's query runner over the same snapshot data."""

    def __init__(self, driver_path: str, workdir: pathlib.Path):
        self.server = start_devserver(nodes=1, fault_injection=False)
        token = frame_client.login(self.server.url)
        node = next(iter(self.server.node_urls.values()))
        for statement in catalog_ddl(random.Random(20261208)):
            result = frame_client.query(node, token, statement)
            if result.error_body or result.error:
                raise RuntimeError(f"{statement}: {result.error_body or result.error}")
        snapshot = frame_client.snapshot(self.server.url, token)
        self.reference = _ReferenceDatabase()
        self.relations: dict[str, Relation] = {}
        for index, slot in enumerate(SLOTS):
            parts = [pa.ipc.open_stream(pa.py_buffer(b)).read_all() for b in snapshot.batches(index)]
            table = pa.concat_tables(parts)
            self.reference.load(slot, table)
            self.relations[slot] = self._describe(slot, table)
        for stub, columns in STUBS.items():
            table = pa.table({c: pa.array([], pa.string()) for c in columns})
            self.reference.load(stub, table)
            self.relations[stub] = Relation(stub, columns, [], {}, stub=True)
        self.trace = workdir / "sql.trace"
        self.conn = dbapi.connect(driver=driver_path, uri=self.server.url,
                                  db_kwargs={"username": "demo", "password": "demo",
                                             "adbc.zorvane.log_path": str(self.trace)})
        self.trace_offset = 0

    @staticmethod
    def _describe(name: str, table: pa.Table) -> Relation:
        strings = [f.name for f in table.schema if pa.types.is_string(f.type)]
        integers = [f.name for f in table.schema if pa.types.is_integer(f.type)]
        samples = {c: table.column(c).to_pylist()[:400] for c in strings}
        return Relation(name, strings, integers, samples)

    def close(self) -> None:
        self.conn.close()
        self.server.stop()

    def run_driver(self, sql: str) -> tuple[pa.Table | None, bool]:
        """(result or None when compute refused it, answered locally)."""
        try:
            with self.conn.cursor() as cur:
                cur.execute(sql)
                table = cur.fetch_arrow_table()
        except Exception:  # noqa: BLE001 - compute refusing a generated query is fine
            table = None
        text = self.trace.read_text(encoding="utf-8", errors="replace") if self.trace.exists() else ""
        new, self.trace_offset = text[self.trace_offset:], len(text)
        return table, "MetadataEngine(cache hit) -> " in new

    def run_reference(self, sql: str) -> pa.Table:
        """Compute's answer, as the dev server's query runner produces it; the
        last result set is the answer (every generated statement has one)."""
        run = QueryRun(self.reference, sql)
        try:
            result_sets = run.execute()
            reader = result_sets[-1].reader
            if reader is None:
                raise duckdb.Error("statement returned no rows")
            return reader.read_all()
        finally:
            run.close()

    def check(self, query: Query, report: Report) -> None:
        report.total += 1
        counts = report.count(query)
        counts.total += 1
        ours, local = self.run_driver(query.render(engine_side=True))
        if not local:
            report.compute_errors += ours is None
            return
        report.local += 1
        counts.local += 1
        try:
            theirs = self.run_reference(query.render(engine_side=False))
        except duckdb.Error as exc:
            problem = f"answered locally, compute raises: {str(exc).splitlines()[0]}"
        else:
            problem = compare(ours, theirs, query)
        if problem:
            counts.differences += 1
            report.differences.append(f"[{query.shape}] {query.render(True)}\n  {problem}")


def compare(ours: pa.Table, theirs: pa.Table, query: Query) -> str | None:
    if ours.column_names != theirs.column_names:
        return f"columns {ours.column_names} != compute {theirs.column_names}"
    our_types = [type_name(f.type) for f in ours.schema]
    their_types = [type_name(f.type) for f in theirs.schema]
    if our_types != their_types:
        return f"types {our_types} != compute {their_types}"
    a, b = rows_of(ours), rows_of(theirs)
    if not query.ordered:
        a, b = sorted(a, key=sort_key), sorted(b, key=sort_key)
    if a != b:
        first = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        return (f"{len(a)} rows vs compute {len(b)}; first difference at row {first}: "
                f"{a[first] if first < len(a) else '-'} vs {b[first] if first < len(b) else '-'}")
    return None


def run(driver_path: str, queries: int, seed: int, verbose: bool = False) -> Report:
    report = Report()
    with tempfile.TemporaryDirectory(prefix="zv-differential-") as folder:
        session = Session(driver_path, pathlib.Path(folder))
        try:
            generator = Generator(random.Random(seed), session.relations)
            for _ in range(queries):
                query = generator.query()
                before = len(report.differences)
                session.check(query, report)
                if verbose and len(report.differences) > before:
                    print(report.differences[-1], flush=True)
        finally:
            session.close()
    return report


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--seed", default="random")
    parser.add_argument("--driver", default=str(REPO / "build" / "src" / "libzorvane_adbc.so"))
    parser.add_argument("--quiet", action="store_true", help="print the summary only")
    args = parser.parse_args()
    seed = int(time.time()) if args.seed == "random" else int(args.seed)
    print(f"differential run: {args.queries} queries, seed {seed}", flush=True)
    report = run(args.driver, args.queries, seed, verbose=not args.quiet)
    print(report.summary())
    return 1 if report.differences or report.local_share < 0.85 else 0


if __name__ == "__main__":
    sys.exit(main())
