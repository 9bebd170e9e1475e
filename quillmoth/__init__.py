"""quillmoth: the native core of an asynchronous web framework.

The extension modules (headers, messages, keystone, routing, cookies, url, scribe) are imported by
their qualified names, e.g. ``from quillmoth.headers import Headers``.
"""

__version__ = "0.1.0"
