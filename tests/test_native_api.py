"""Native export tables between modules: a sibling binds the entry points it needs at import time
and calls through them; a missing entry, a changed signature text or a module without a table makes
that import fail with a clear ImportError."""

import datetime
import textwrap

import pytest

from conftest import load_module, run_python
from quillmoth.cookies import Cookie
from quillmoth.url import join_prefix


@pytest.fixture(scope="module")
def consumer_path(compile_native):
    return compile_native("api_consumer")


def test_bound_entry_points_work(consumer_path):
    consumer = load_module("api_consumer", consumer_path)
    assert consumer.method_without_body("GET") is True
    assert consumer.method_without_body("get") is False
    assert consumer.method_without_body(None) is False
    assert consumer.join_prefix("/api", "/users") == join_prefix("/api", "/users")
    cookie = Cookie("session", "abc", expires=datetime.datetime(2015, 10, 21, 7, 28))
    assert consumer.write_cookie(cookie) == b"session=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT"


def _import_in_child(consumer_path, setup):
    """Imports the consumer in a fresh interpreter after `setup` has tampered with a table."""
    code = "import ctypes, importlib.util, sys\n" + setup + textwrap.dedent(
        f"""
        spec = importlib.util.spec_from_file_location("api_consumer", {str(consumer_path)!r})
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported")
        """
    )
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


# A capsule holding the same pointer under another signature text.
_RENAME = """
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype = ctypes.c_void_p
get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
get_name = ctypes.pythonapi.PyCapsule_GetName
get_name.restype = ctypes.c_char_p
get_name.argtypes = [ctypes.py_object]
def resign(table, name, signature):
    old = table[name]
    keep = ctypes.c_char_p(signature.encode())
    sys._keep = keep
    table[name] = capsule_new(get_pointer(old, get_name(old)), keep, None)
"""


@pytest.mark.parametrize(
    "setup, expected",
    [
        ("", "imported"),
        ("import quillmoth.cookies as m; del m.__quillmoth_api__['split_value']",
         "ImportError: quillmoth.cookies does not export expected native function split_value"),
        ("import quillmoth.url as m; m.__quillmoth_api__['join_prefix'] = 'not a capsule'",
         "ImportError: quillmoth.url does not export expected native function join_prefix"),
        (_RENAME + "import quillmoth.url as m; resign(m.__quillmoth_api__, 'join_prefix', 'PyObject *(PyObject *)')",
         "ImportError: native function quillmoth.url.join_prefix has wrong signature "
         "(expected PyObject *(PyObject *, PyObject *, int), got PyObject *(PyObject *))"),
        ("import quillmoth.messages as m; del m.__quillmoth_api__",
         "ImportError: quillmoth.messages does not export a native API"),
        ("sys.modules['quillmoth.cookies'] = None",
         "ImportError: import of quillmoth.cookies halted; None in sys.modules"),
    ],
    ids=["intact", "missing-entry", "not-a-capsule", "changed-signature", "no-table", "module-missing"],
)
def test_import_binds_or_fails_clearly(consumer_path, setup, expected):
    assert _import_in_child(consumer_path, setup) == expected
