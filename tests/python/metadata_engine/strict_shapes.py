"""Query shapes of the differential tester that probe where a local engine is
easily more lenient than compute or computes differently: integer widths and
overflow, casts, CASE, NULL logic, string functions, set operations, name
resolution, VALUES, derived tables, LIMIT forms, window functions, literal
spellings and floating-point corner values.

Each shape returns a Query whose template uses the placeholders of
differential.Query ({tables}, {IS}, ...) and whose `shape` names its class, so
that a run reports differences class by class.
"""

from __future__ import annotations

INT_LIMITS = ["32767", "32768", "-32768", "65536", "2147483647", "-2147483648", "2147483648", "3000000000",
              "9223372036854775807", "-9223372036854775807", "0", "-1", "1", "2", "100000"]
CAST_TARGETS = ["INTEGER", "INT", "BIGINT", "SMALLINT", "INT2", "VARCHAR", "TEXT", "DOUBLE", "FLOAT", "REAL", "FLOAT4",
                "FLOAT8", "BOOLEAN", "DATE", "TIMESTAMP", "TIMESTAMPTZ", "DECIMAL(10,2)", "VARCHAR(3)", "INTEGER[]",
                "NUMERIC", "HUGEINT", "TINYINT", "UBIGINT", "BLOB", "DOUBLE_PRECISION", "DOUBLE PRECISION",
                "NVARCHAR", "STRING", "DATETIME", "INT4", "INT8", "BOOL", "FLOAT(10)", "FLOAT8", "CHAR",
                "TIMESTAMP_WITH_TIME_ZONE", "BPCHAR"]
CAST_SOURCES = ["'12'", "'0x1F'", "'0xFFFFFFFF'", "' 7 '", "'1e2'", "'1.5'", "'1_000'", "'+5'", "'-0'", "'true'",
                "'yes'", "'t'", "'NaN'", "'inf'", "'2020-01-01'", "'2020-01-01 10:00:00'", "1", "1.5", "-1",
                "2147483648", "CAST(1 AS BIGINT)", "NULL", "true", "'abc'", "''", "'99999'", "'40000'"]
RARE_LETTERS = ["ǅ", "İ", "ı", "ß", "ẞ", "ﬁ", "ΐ", "ǰ", "Ω", "K", "Å", "ſ", "ς", "Σ", "ǈ", "ᾳ", "ŉ", "Ꭰ", "ꭰ", "ⓐ",
                "Ⅻ", "𐐀", "𐐨", "é", "Ü", "ÿ", "µ", "\ua7cb", "\U00016ea0", "\u0264"]
FLOAT_SOURCES = ["CAST('NaN' AS DOUBLE)", "CAST('-0' AS DOUBLE)", "CAST('0' AS DOUBLE)", "-CAST(0 AS DOUBLE)",
                 "CAST('inf' AS DOUBLE)", "CAST('-inf' AS DOUBLE)", "CAST(1 AS DOUBLE)", "CAST('NaN' AS REAL)",
                 "CAST(0.1 AS FLOAT)", "CAST(1 AS DOUBLE) / 3", "0.1 + 0.2"]


class StrictShapes:
    """Mixed into differential.Generator: uses its rng, relations and helpers."""

    def strict(self):
        shapes = [self.s_overflow, self.s_cast, self.s_case, self.s_null_logic, self.s_string, self.s_setop,
                  self.s_qualified, self.s_values, self.s_derived_names, self.s_limit, self.s_window,
                  self.s_literal, self.s_float, self.s_natural, self.s_unaliased]
        return self.rng.choice(shapes)()

    # -- helpers -------------------------------------------------------------
    def _rel_with_ints(self):
        candidates = [r for r in self.real if r.integers]
        # odbc_columns holds the SMALLINT columns, whose width is the point.
        if self.rng.random() < 0.4 and "odbc_columns" in self.relations:
            return self.relations["odbc_columns"]
        return self.rng.choice(candidates)

    def _rel_with_strings(self):
        return self.rng.choice([r for r in self.real if r.strings])

    def _query(self, template: str, shape: str, ordered: bool = False):
        from differential import Query  # noqa: PLC0415 - the module imports this one
        return Query(template, ordered=ordered, shape=shape)

    def _where(self, rel, q: str = "") -> str:
        return f" WHERE {self.predicate(rel, q)}" if self.rng.random() < 0.4 and (rel.strings or rel.integers) else ""

    # -- shapes --------------------------------------------------------------
    def s_overflow(self):
        rel = self._rel_with_ints()
        col = self.col("", self.rng.choice(rel.integers))
        c = self.rng.choice(INT_LIMITS)
        d = self.rng.choice(INT_LIMITS)
        forms = [f"{col} * {c}", f"{col} + {c}", f"{col} - {c}", f"{c} * {col}", f"{c} - {col}", f"{col} * {c} * {d}",
                 f"{c} * {d} * {col}", f"-{col}", f"-({col} - {c})", f"- {c}", "-(-2147483647 - 1)",
                 f"{col} % {c}", f"{col} / {c}", f"1 * 2147483647 * {d}", f"CAST({col} AS SMALLINT) * {c}",
                 f"CAST({col} AS BIGINT) * {c}", f"CAST({col} AS INTEGER) + {c}", f"{c} + {d}", f"{c} * {d}",
                 f"{c} % {d}", f"length({self.col('', (rel.strings or ['table_name'])[0])}) * {c}",
                 f"({col} + {col}) * {c}", f"{col} * {col} * {col} * {c}", f"CAST({c} AS SMALLINT) + {col}",
                 f"-CAST({c} AS SMALLINT)", f"coalesce({col}, {c}) * {d}", f"coalesce({col}, {c})",
                 f"CASE WHEN {col} > 0 THEN {col} ELSE {c} END", f"{col} = {c}", f"{col} IN ({c}, {d})",
                 f"-{col} * {c}", f"{col} < {c} + {d}", f"CAST({col} AS REAL) * {c}", f"{col} / {c} * {d}"]
        expr = self.rng.choice(forms)
        if self.rng.random() < 0.3:
            return self._query(f"SELECT {col} FROM {{{rel.name}}} WHERE {expr} > {self.rng.choice(['0', '5', '-1'])}",
                               "overflow")
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}{self._where(rel)}", "overflow")

    def s_cast(self):
        rel = self._rel_with_ints()
        target = self.rng.choice(CAST_TARGETS)
        r = self.rng.random()
        if r < 0.3 and rel.integers:
            source = self.col("", self.rng.choice(rel.integers))
        elif r < 0.5 and rel.strings:
            source = self.col("", self.rng.choice(rel.strings))
        else:
            source = self.rng.choice(CAST_SOURCES)
        if self.rng.random() < 0.2:
            source = f"CAST({source} AS {self.rng.choice(['BIGINT', 'INTEGER', 'VARCHAR', 'DOUBLE', 'SMALLINT'])})"
        expr = f"{source}::{target}" if self.rng.random() < 0.25 else f"CAST({source} AS {target})"
        if self.rng.random() < 0.25:
            return self._query(f"SELECT count(*) AS n FROM {{{rel.name}}} WHERE {expr} IS NOT NULL", "cast")
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}{self._where(rel)}", "cast")

    def s_case(self):
        rel = self._rel_with_strings()
        values = ["1", "'a'", "NULL", "1.5", "2147483648", "true"]
        if rel.integers:
            values.append(self.col("", self.rng.choice(rel.integers)))
        values.append(self.col("", self.rng.choice(rel.strings)))
        a, b = self.rng.choice(values), self.rng.choice(values)
        if self.rng.random() < 0.5:
            column = self.rng.choice(rel.strings)
            expr = (f"CASE {self.col('', column)} WHEN {self.literal(self.string_value(rel, column))} THEN {a} "
                    f"WHEN NULL THEN {b} ELSE {self.rng.choice(values)} END")
        else:
            otherwise = f" ELSE {b}" if self.rng.random() < 0.7 else ""
            expr = f"CASE WHEN {self.predicate(rel, '')} THEN {a}{otherwise} END"
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}", "case")

    def s_null_logic(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        forms = ["NULL = NULL", f"{s} = NULL", "NULL IS NULL", "NOT NULL", f"{s} IN (NULL)", "NULL IN ('a', 'b')",
                 "coalesce(NULL, NULL)", f"coalesce({s}, NULL, 'x')", "NULL AND FALSE", "NULL OR TRUE",
                 f"NULLIF({s}, 'x')", f"{s} IS DISTINCT FROM NULL", "CASE WHEN NULL THEN 1 ELSE 2 END", "NULL + 1",
                 "NULL || 'a'", f"{s} || NULL", f"({s} IS NULL) = (NULL IS NULL)", f"NOT ({s} NOT IN ('x', NULL))",
                 f"{s} NOT IN (NULL)", "NULL::INTEGER + 1", f"coalesce({s}, 1)", "NULL < 1", f"{s} > NULL"]
        expr = self.rng.choice(forms)
        if self.rng.random() < 0.5:
            return self._query(f"SELECT {s} FROM {{{rel.name}}} WHERE {expr}", "null")
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}", "null")

    def s_string(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        word = self.literal(self.rng.choice(RARE_LETTERS + ["café", "straße", "ΣΊΣΥΦΟΣ", "Ünïcode", "ÆØÅ"]))
        forms = [f"upper({s})", f"lower({s})", f"length({s})", f"upper({word})", f"lower({word})", f"length({word})",
                 f"substr({s}, 2)", f"substring({s}, 1, 3)", f"trim({s})", f"replace({s}, 'a', 'b')",
                 f"concat({s}, 'x')", f"left({s}, 2)", f"strpos({s}, 'a')", f"{s} || 1", f"{s} || {word}",
                 f"upper({s}) = upper({word})", f"lower({s}) = {word}", f"{s} ILIKE {word}",
                 f"{s} ILIKE '%' || {word}", f"upper({word}) = {word}", f"lower(upper({s}))", f"length(upper({s}))",
                 f"upper({s}) LIKE 'A%'", f"{s} ~~ 'a%'", f"octet_length({s})", f"reverse({s})"]
        expr = self.rng.choice(forms)
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}{self._where(rel)}", "string")

    def s_setop(self):
        a, b = self._rel_with_strings(), self._rel_with_strings()
        op = self.rng.choice(["UNION", "UNION ALL", "INTERSECT", "EXCEPT", "INTERSECT ALL", "EXCEPT ALL"])
        left = f"SELECT {self.col('', self.rng.choice(a.strings))} AS v FROM {{{a.name}}}"
        right = f"SELECT {self.col('', self.rng.choice(b.strings))} FROM {{{b.name}}}"
        return self._query(f"{left} {op} {right}", "setop")

    def s_qualified(self):
        rel = self._rel_with_strings()
        column = self.col("", self.rng.choice(rel.strings))
        r = self.rng.random()
        if r < 0.15:
            return self._query(f"SELECT {column} FROM {{{rel.name}}} r WHERE zz.{column} IS NOT NULL", "qualified")
        if r < 0.25:
            return self._query(f"SELECT count.lower({column}) AS e FROM {{{rel.name}}}", "qualified")
        if r < 0.35:
            return self._query(f"SELECT {rel.name}.{column} FROM {{{rel.name}}} r", "qualified")
        if r < 0.45:
            return self._query(f"SELECT {{IS}}.{rel.name}.{column} FROM {{{rel.name}}}", "qualified")
        if r < 0.6:
            catalog = self.rng.choice(["zorvane", "ZORVANE", '"zorvane"', "other", "memory", "system", "temp"])
            return self._query(f"SELECT {column} FROM {catalog}.{{IS}}.{rel.name}", "qualified")
        if r < 0.7:
            return self._query(f"SELECT {column} FROM ONLY {{{rel.name}}}", "qualified")
        if r < 0.8:
            return self._query(f"SELECT zz.* FROM {{{rel.name}}} r", "qualified")
        if r < 0.9:
            return self._query(f"SELECT r.{column}, {rel.name}.{column} FROM {{{rel.name}}} r, {{{rel.name}}}",
                               "qualified")
        return self._query(f"SELECT {column} FROM {{{rel.name}}} a, {{{rel.name}}} b", "qualified")

    def s_values(self):
        rows = []
        width = self.rng.randint(1, 3)
        pool = ["1", "-1", "2147483647", "2147483648", "'a'", "NULL", "1.5", "true", "'é'", "32767", "-2147483648"]
        for _ in range(self.rng.randint(1, 3)):
            rows.append("(" + ", ".join(self.rng.choice(pool) for _ in range(width)) + ")")
        names = ["a", "b", "c"][: self.rng.randint(0, width)]
        alias = f" v({', '.join(names)})" if names else " v"
        picked = self.rng.choice(["*", "column1", "column2", "column3", "col0", "col1", "col2", "a", "b", "v.a",
                                  "a + 1", "a * 2147483647", "v.*"])
        return self._query(f"SELECT {picked} FROM (VALUES {', '.join(rows)}){alias}", "values")

    def s_derived_names(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        inner_expr = self.rng.choice([f"upper({s})", f"{s} || 'x'", "1", f"length({s})", "count(*)", f"max({s})"])
        inner = f"SELECT {inner_expr} FROM {{{rel.name}}}"
        outer = self.rng.choice(["expr_0", "d.expr_0", "*", "count_star", "max", "d.*",
                                 "upper", "e"])
        alias = self.rng.choice([" d", " d", " d(e)", ""])
        return self._query(f"SELECT {outer} FROM ({inner}){alias}", "derived")

    def s_limit(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        clause = self.rng.choice(["LIMIT -1", "OFFSET -1", "LIMIT ALL", "LIMIT NULL", "FETCH FIRST 3 ROWS ONLY",
                                  "OFFSET 2 ROWS", "LIMIT 2147483648", "LIMIT 1+1", "LIMIT '3'", "LIMIT 0",
                                  "LIMIT 3 OFFSET -2", "LIMIT -5 OFFSET 1", "LIMIT 1.5", "OFFSET 1 LIMIT 2",
                                  "LIMIT 9223372036854775807", "LIMIT 2 OFFSET 9223372036854775807"])
        return self._query(f"SELECT {s} FROM {{{rel.name}}} ORDER BY 1 NULLS LAST {clause}", "limit", ordered=True)

    def s_window(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        fn = self.rng.choice(["row_number() OVER ()", f"count(*) OVER (PARTITION BY {s})",
                              f"rank() OVER (ORDER BY {s})", f"max({s}) OVER ()"])
        return self._query(f"SELECT {s}, {fn} AS w FROM {{{rel.name}}}", "window")

    def s_literal(self):
        rel = self._rel_with_ints()
        col = self.col("", self.rng.choice(rel.integers))
        forms = ["x'41'", "X'4142'", "U&'\\0041'", "E'a\\nb'", "$$dollar$$", "B'101'", "1e3", "0.1 + 0.2",
                 f"{col} = 1.0000000000000001", f"{col} < 1.0000000000000001", f"{col} = 1.5", f"{col} > 2.5",
                 f"{col} IN (1.0000000000000001, 2)", f"{col} >= 0.1", "-0.0", "N'abc'", "'a' 'b'",
                 "DATE '2020-01-03' - DATE '2020-01-01'", "TIMESTAMP '2020-01-01 00:00:00'", "INTERVAL '1 day'",
                 "'2020-01-01'::DATE + 1", "1.0000000000000001", f"{col} = 12345678901234567890",
                 f"{col} = 2.0"]
        expr = self.rng.choice(forms)
        if "=" in expr or "<" in expr or ">" in expr or " IN " in expr:
            return self._query(f"SELECT {col} FROM {{{rel.name}}} WHERE {expr}", "literal")
        return self._query(f"SELECT {expr} AS e FROM {{{rel.name}}}", "literal")

    def s_float(self):
        rel = self._rel_with_ints()
        col = self.col("", self.rng.choice(rel.integers))
        value = self.rng.choice(FLOAT_SOURCES)
        flip = f"(CASE WHEN {col} % 2 = 0 THEN {value} ELSE CAST({col} AS DOUBLE) * 0 END)"
        forms = [f"SELECT {value} = {value} AS e FROM {{{rel.name}}}",
                 f"SELECT {value} > 1 AS e FROM {{{rel.name}}}",
                 f"SELECT DISTINCT {flip} AS e FROM {{{rel.name}}}",
                 f"SELECT e, count(*) AS n FROM (SELECT {flip} AS e FROM {{{rel.name}}}) d GROUP BY e",
                 f"SELECT max(e) AS m FROM (SELECT {flip} AS e FROM {{{rel.name}}}) d",
                 f"SELECT e FROM (SELECT {flip} AS e FROM {{{rel.name}}}) d ORDER BY e LIMIT 3",
                 f"SELECT {value} % 2 AS e FROM {{{rel.name}}}",
                 f"SELECT CAST({col} AS DOUBLE) % 0.7 AS e FROM {{{rel.name}}}",
                 f"SELECT CAST({col} AS DOUBLE) / 7 AS e FROM {{{rel.name}}}",
                 f"SELECT CAST({col} AS REAL) / 3 AS e FROM {{{rel.name}}}",
                 f"SELECT CAST({col} AS FLOAT) * 0.1 AS e FROM {{{rel.name}}}",
                 f"SELECT -CAST({col} AS DOUBLE) * 0 AS e FROM {{{rel.name}}}"]
        template = self.rng.choice(forms)
        return self._query(template, "float", ordered=" ORDER BY " in template)

    def s_natural(self):
        r = self.rng.random()
        if r < 0.5:
            return self._query("SELECT * FROM (VALUES (1), (2)) a(p) NATURAL JOIN (VALUES (3)) b(q)", "natural")
        a, b = self._rel_with_strings(), self._rel_with_strings()
        return self._query(f"SELECT count(*) AS n FROM {{{a.name}}} NATURAL JOIN {{{b.name}}}", "natural")

    def s_unaliased(self):
        rel = self._rel_with_strings()
        s = self.col("", self.rng.choice(rel.strings))
        item = self.rng.choice(["count(*)", f"max({s})", f"upper({s})", "1", f"{s} || 'x'", f"count({s})",
                                f"min({self.col('r', self.rng.choice(rel.strings))})", "'lit'", "NULL", "-1",
                                "2147483648", "-2147483648", "TRUE", "'é'", "'a b'", "'it''s'", "0", "- 3",
                                "(SELECT 1)", "1.5", "CAST(1 AS BIGINT)"])
        alias = " r" if "r." in item else ""
        return self._query(f"SELECT {item} FROM {{{rel.name}}}{alias}", "names")
