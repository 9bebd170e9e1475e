"""quillmoth: the native core of an asynchronous web framework, and the small framework layer over it.

The public API is reachable from here (``from quillmoth import Application, Request, Response``);
each name is imported when it is first used, so importing one native module (``quillmoth.headers``)
does not load the others. The extension modules (headers, messages, keystone, routing, cookies,
url, scribe) are importable by their qualified names too.
"""

from importlib import import_module

__version__ = "0.1.0"

_EXPORTS = {
    "Application": "quillmoth.application",
    "Router": "quillmoth.router",
    "Request": "quillmoth.messages",
    "Response": "quillmoth.messages",
    "Headers": "quillmoth.headers",
    "Cookie": "quillmoth.cookies",
    "URL": "quillmoth.url",
    "Content": "quillmoth.contents",
    "ServerSentEvent": "quillmoth.contents",
    "HTTPException": "quillmoth.exceptions",
    "TestClient": "quillmoth.testing",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'quillmoth' has no attribute {name!r}")
    value = getattr(import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(list(globals()) + __all__)
