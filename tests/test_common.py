"""The shared native layer as every module uses it: native classes are immutable, classes read
natively are checked against the sibling's own class when a module is imported, a failed import
releases what it took, and the override cache keeps many classes apart."""

import textwrap

import pytest

from conftest import run_python
from quillmoth import cookies, headers, messages, url
from quillmoth.contents import Content, ServerSentEvent, TextServerSentEvent
from quillmoth.exceptions import BadRequest, HTTPException, InternalServerError
from quillmoth.headers import Header, Headers
from quillmoth.messages import Message

NATIVE_CLASSES = [
    Header, Headers, Message, Content, ServerSentEvent, TextServerSentEvent, cookies.Cookie, cookies.CookieError,
    cookies.CookieValueExceedsMaximumLength, url.URL, url.InvalidURL, HTTPException, BadRequest,
    InternalServerError,
]


@pytest.mark.parametrize("cls", NATIVE_CLASSES, ids=lambda c: c.__name__)
def test_native_classes_are_immutable(cls):
    with pytest.raises(TypeError, match="immutable type"):
        cls.patched = lambda self: None
    with pytest.raises(TypeError, match="immutable type"):
        cls.__doc__ = "other"
    own = next(name for name in ("__init__", "__new__", "__repr__", "__reduce__") if name in vars(cls))
    before = vars(cls)[own]
    with pytest.raises(TypeError, match="immutable type"):
        delattr(cls, own)
    assert vars(cls)[own] is before

    class Sub(cls):
        pass

    Sub.patched = "fine"  # a Python subclass stays open
    assert Sub.patched == "fine" and not hasattr(cls, "patched")


def test_patched_method_cannot_split_native_and_python_callers():
    # Were the class patchable, Python callers would get the patch while native callers (the
    # header view, other modules) kept the native path.
    with pytest.raises(TypeError):
        Message.get_first_header = lambda self, key: b"patched"
    message = Message([(b"Host", b"h")])
    assert message.get_first_header(b"host") == b"h" and message.headers.get_first(b"host") == b"h"


def _child(code):
    done = run_python(textwrap.dedent(code), timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


# A sibling class rebound before the importer loads: a plain class is refused (its instances have
# none of the native fields the importer reads), a Python subclass of the native class is taken.
REBOUND = [
    ("quillmoth.contents", "Content", "quillmoth.messages"),
    ("quillmoth.headers", "Headers", "quillmoth.messages"),
    ("quillmoth.headers", "Header", "quillmoth.messages"),
]


@pytest.mark.parametrize("module, name, importer", REBOUND, ids=[f"{m}.{n}" for m, n, _ in REBOUND])
def test_rebound_sibling_class_fails_the_import(module, name, importer):
    out = _child(f"""
        import importlib
        sibling = importlib.import_module({module!r})
        class Impostor:
            type = b"text/plain"
        sibling.{name} = Impostor
        try:
            importlib.import_module({importer!r})
        except ImportError as error:
            print("ImportError:", error)
        else:
            print("imported")
    """)
    assert out == f"ImportError: {module}.{name} is not the native class {module}.{name} nor derived from it"


def test_rebound_to_python_subclass_keeps_working():
    out = _child("""
        import quillmoth.contents as contents
        class Sub(contents.Content):
            pass
        native = contents.Content
        contents.Content = Sub
        from quillmoth.messages import Message
        message = Message([(b"content-type", b"text/html")])
        message.content = Sub(b"application/json", b"{}")
        print(message.content_type(), message.declares_json(), message.has_body())
        try:
            message.content = object()
        except TypeError as error:
            print("TypeError")
    """)
    assert out.splitlines() == ["b'application/json' True True", "TypeError"]


def test_missing_class_table_fails_the_import():
    out = _child("""
        import quillmoth.contents as contents
        del contents.__quillmoth_types__
        try:
            import quillmoth.messages
        except ImportError as error:
            print("ImportError:", error)
    """)
    assert out == "ImportError: quillmoth.contents does not publish its native classes"


# A module whose import fails half-way releases what it took before the failure, so that
# retrying (which runs its init again) neither leaks nor finds stale state. `fail` breaks a
# dependency taken late in the init, `held` names an object the init keeps a reference to.
FAILED_INIT = [
    ("quillmoth.messages", "import quillmoth.contents, quillmoth.headers\n"
     "sys.modules['quillmoth.sessions'] = None",
     "del sys.modules['quillmoth.sessions']", "quillmoth.headers.Headers"),
    ("quillmoth.cookies", "import email.utils\nsaved = sys.modules['copyreg']\nsys.modules['copyreg'] = None",
     "sys.modules['copyreg'] = saved", "email.utils.parsedate_to_datetime"),
    ("quillmoth.url", "import httptools\nsaved = httptools.parse_url\n"
     "def parse_url(value):\n    raise RuntimeError('broken splitter')\nhttptools.parse_url = parse_url",
     "httptools.parse_url = saved", "parse_url"),
]


@pytest.mark.parametrize("module, fail, restore, held", FAILED_INIT, ids=[m for m, *_ in FAILED_INIT])
def test_failed_import_releases_its_state_and_can_be_retried(module, fail, restore, held):
    out = _child(f"""
        import importlib, sys
        {textwrap.indent(fail, "        ").strip()}
        target = {held}
        counts = []
        for attempt in range(30):
            try:
                importlib.import_module({module!r})
            except (ImportError, RuntimeError):
                pass
            counts.append(sys.getrefcount(target))
        {textwrap.indent(restore, "        ").strip()}
        loaded = importlib.import_module({module!r})
        print(counts[5] == counts[-1], loaded.__name__)
    """)
    assert out == f"True {module}"


def test_override_cache_keeps_many_classes_apart():
    # More classes than the cache holds, alternating on one operation: the plain ones keep the
    # native result, each redefinition is reached, and a class patched after it was cached is seen.
    plain = [type(f"Plain{i}", (Message,), {}) for i in range(12)]
    redefining = [type(f"Own{i}", (Message,), {"get_first_header": (lambda i: lambda self, key: b"own%d" % i)(i)})
                  for i in range(4)]
    instances = [cls([(b"Content-Type", b"h")]) for cls in plain + redefining]
    for _ in range(3):
        for instance in instances:
            expected = b"h" if type(instance) in plain else b"own" + type(instance).__name__[3:].encode()
            assert instance.content_type() == expected  # reaches get_first_header through the table
            assert instance.headers.get_first(b"content-type") == b"h"
    plain[0].get_first_header = lambda self, key: b"patched"
    assert plain[0]([]).content_type() == b"patched"
    assert plain[1]([(b"Content-Type", b"h")]).content_type() == b"h"
