"""Reaches the native side of quillmoth.cookies the way sibling modules do.

The six exported functions are bound from the module's ``__quillmoth_api__`` table by name and
signature text, and the Cookie operation table is read from the object itself, so tests call
exactly the entry points that messages and scribe bind.
"""

import ctypes

from conftest import bind_export, export_signature
from quillmoth import cookies

# Signature texts as declared in quillmoth/cookies.h; a sibling binding with another text fails.
SIGNATURES = {
    "datetime_from_cookie_format": b"PyObject *(PyObject *, int)",
    "datetime_to_cookie_format": b"PyObject *(PyObject *, int)",
    "split_value": b"PyObject *(PyObject *, PyObject *)",
    "write_cookie_for_response": b"PyObject *(CookieObject *)",
    "same_site_mode_from_bytes": b"CookieSameSiteMode (PyObject *)",
    "parse_cookie": b"CookieObject *(PyObject *, int)",
}


def _bind(name, restype, *argtypes):
    assert export_signature(cookies, name) == SIGNATURES[name]
    return bind_export(cookies, name, restype, *argtypes)


split_value = _bind("split_value", ctypes.py_object, ctypes.py_object, ctypes.py_object)
write_cookie_for_response = _bind("write_cookie_for_response", ctypes.py_object, ctypes.py_object)
same_site_mode_from_bytes = _bind("same_site_mode_from_bytes", ctypes.c_uint32, ctypes.py_object)
_parse_cookie = _bind("parse_cookie", ctypes.py_object, ctypes.py_object, ctypes.c_int)
_datetime_from_cookie_format = _bind("datetime_from_cookie_format", ctypes.py_object, ctypes.py_object, ctypes.c_int)
_datetime_to_cookie_format = _bind("datetime_to_cookie_format", ctypes.py_object, ctypes.py_object, ctypes.c_int)


def parse_cookie(raw_value):
    return _parse_cookie(raw_value, 0)


def datetime_from_cookie_format(value):
    return _datetime_from_cookie_format(value, 0)


def datetime_to_cookie_format(value):
    return _datetime_to_cookie_format(value, 0)


class CookieLayout(ctypes.Structure):
    """CookieObject of quillmoth/cookies.h (default, non-free-threaded build)."""

    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("ops", ctypes.c_void_p),
        ("_name", ctypes.c_void_p),
        ("_value", ctypes.c_void_p),
        ("expires", ctypes.c_void_p),
        ("domain", ctypes.c_void_p),
        ("path", ctypes.c_void_p),
        ("http_only", ctypes.c_bool),
        ("secure", ctypes.c_bool),
        ("max_age", ctypes.c_int64),
        ("same_site", ctypes.c_uint32),
    ]


def layout(cookie):
    return CookieLayout.from_address(id(cookie))


_clone_type = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)


def table_clone(cookie, skip_dispatch=0):
    """Calls the `clone` entry of the cookie's operation table, as a sibling module would."""
    ops = layout(cookie).ops
    entry = ctypes.c_void_p.from_address(ops).value
    return _clone_type(entry)(cookie, skip_dispatch)
