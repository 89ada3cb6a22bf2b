"""The Arrow C stream contract: get_schema answers with the same schema for the
whole life of a result stream, whichever callback the consumer calls first
and also after the last batch. Driven through the raw stream callbacks, which
pyarrow's reader would hide."""

import ctypes

import adbc_driver_manager as dm
import pytest
from driver_helpers import connected


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))), ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    _fields_ = [
        ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
        ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
        ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]


def field_names(stream):
    schema = ArrowSchema()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0
    try:
        assert schema.format == b"+s"
        return [schema.children[i].contents.name.decode() for i in range(schema.n_children)]
    finally:
        schema.release(ctypes.byref(schema))


def drain(stream):
    batches = 0
    while True:
        array = ArrowArray()
        assert stream.get_next(ctypes.byref(stream), ctypes.byref(array)) == 0
        if not array.release:
            return batches
        batches += 1
        array.release(ctypes.addressof(array))


LOCAL = "SELECT table_name, table_type FROM information_schema.tables WHERE table_schema = 'sales'"
COMPUTE = "SELECT range AS n, 'x' AS s FROM range(5000)"


@pytest.mark.parametrize("sql,names", [(LOCAL, ["table_name", "table_type"]), (COMPUTE, ["n", "s"])])
@pytest.mark.parametrize("schema_first", [True, False])
def test_get_schema_is_stable_for_the_life_of_the_stream(driver_path, devserver, sql, names, schema_first):
    with connected(driver_path, devserver.url, username="demo", password="demo") as conn:
        stmt = dm.AdbcStatement(conn)
        try:
            stmt.set_sql_query(sql)
            handle, _ = stmt.execute_query()
            stream = ArrowArrayStream.from_address(handle.address)
            try:
                if schema_first:
                    assert field_names(stream) == names
                assert drain(stream) >= 1
                # After the end, as before it.
                assert field_names(stream) == names
                assert field_names(stream) == names
            finally:
                stream.release(ctypes.byref(stream))
        finally:
            stmt.close()
