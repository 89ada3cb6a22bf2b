"""The driver manager's C interface through ctypes, for tests that must act as
a C host does (release handles out of order, read a stream's errno)."""

import ctypes

import adbc_driver_manager._lib as dm_lib

ADBC_STATUS_OK = 0
ADBC_STATUS_INVALID_STATE = 6
ADBC_STATUS_CANCELLED = 11


class AdbcError(ctypes.Structure):
    pass


AdbcError._fields_ = [
    ("message", ctypes.c_char_p), ("vendor_code", ctypes.c_int32), ("sqlstate", ctypes.c_char * 5),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(AdbcError))),
    ("private_data", ctypes.c_void_p), ("private_driver", ctypes.c_void_p),
]


class Handle(ctypes.Structure):
    """AdbcDatabase, AdbcConnection and AdbcStatement share this layout."""
    _fields_ = [("private_data", ctypes.c_void_p), ("private_driver", ctypes.c_void_p)]


class ArrowArray(ctypes.Structure):
    _fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
                ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
                ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
                ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)),
                ("private_data", ctypes.c_void_p)]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p),
                ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ArrowArray))),
                ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.c_void_p)),
                ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)),
                ("private_data", ctypes.c_void_p)]


class Manager:
    """The driver manager's exported C functions; every call checks its status."""

    def __init__(self):
        self.lib = ctypes.CDLL(dm_lib.__file__)
        self.lib.AdbcErrorFromArrayStream.restype = ctypes.POINTER(AdbcError)

    def call(self, name, *args, expect=ADBC_STATUS_OK):
        """The error message (empty when none) of a call that returned `expect`."""
        error = AdbcError()
        status = getattr(self.lib, name)(*args, ctypes.byref(error))
        message = error.message.decode() if error.message else ""
        if error.release:
            error.release(ctypes.byref(error))
        assert status == expect, f"{name}: status {status}: {message}"
        return message
