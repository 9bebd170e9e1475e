"""JSON settings: the functions the framework uses to decode request bodies and to encode values
(JSON contents, server-sent event data).

By default both sides use msgspec. ``json_settings.use(loads=..., dumps=...)`` installs other
functions; ``loads`` takes a str and returns the decoded value, ``dumps`` takes a value and returns
its JSON text as a str.
"""

from __future__ import annotations

from typing import Any, Callable

import msgspec

__all__ = ["JSONSettings", "default_dumps", "default_loads", "json_settings"]

_encode = msgspec.json.encode
_decode = msgspec.json.decode


def default_loads(text: str | bytes) -> Any:
    """Decodes JSON text (str or bytes) with msgspec."""
    return _decode(text)


def default_dumps(value: Any) -> str:
    """Encodes a value as JSON text with msgspec."""
    return _encode(value).decode("utf-8")


class JSONSettings:
    """The JSON functions in use, and whether the application replaced the defaults."""

    __slots__ = ("_loads", "_dumps")

    def __init__(self) -> None:
        self._loads: Callable[[str], Any] = default_loads
        self._dumps: Callable[[Any], str] = default_dumps

    def use(
        self,
        loads: Callable[[str], Any] | None = None,
        dumps: Callable[[Any], str] | None = None,
    ) -> None:
        """Installs custom functions; an argument left None keeps the current function."""
        if loads is not None:
            if not callable(loads):
                raise TypeError("loads must be callable")
            self._loads = loads
        if dumps is not None:
            if not callable(dumps):
                raise TypeError("dumps must be callable")
            self._dumps = dumps

    def reset(self) -> None:
        """Restores the msgspec defaults."""
        self._loads = default_loads
        self._dumps = default_dumps

    @property
    def loads(self) -> Callable[[str], Any]:
        return self._loads

    @property
    def dumps(self) -> Callable[[Any], str]:
        return self._dumps

    @property
    def has_custom_loads(self) -> bool:
        return self._loads is not default_loads

    @property
    def has_custom_dumps(self) -> bool:
        return self._dumps is not default_dumps


json_settings = JSONSettings()
