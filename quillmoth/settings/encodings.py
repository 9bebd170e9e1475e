"""Decoding of bodies that are not valid in their declared charset.

``encodings_settings.decode(body, error)`` is called with the undecodable bytes and the
UnicodeDecodeError raised by the declared charset. It tries the fallback encodings in order
(ISO-8859-1 by default, which maps every byte to a character and so keeps the bytes recoverable)
and, if all of them fail, decodes as UTF-8 with undecodable sequences replaced by U+FFFD. It never
raises for bytes-like input.
"""

from __future__ import annotations

import codecs
from typing import Iterable

__all__ = ["DEFAULT_FALLBACK_ENCODINGS", "EncodingsSettings", "encodings_settings"]

DEFAULT_FALLBACK_ENCODINGS: tuple[str, ...] = ("iso-8859-1",)


class EncodingsSettings:
    """The fallback encodings tried, in order, for a body its declared charset cannot decode."""

    __slots__ = ("_encodings",)

    def __init__(self) -> None:
        self._encodings: tuple[str, ...] = DEFAULT_FALLBACK_ENCODINGS

    @property
    def encodings(self) -> tuple[str, ...]:
        return self._encodings

    def use(self, encodings: Iterable[str]) -> None:
        """Sets the fallback encodings. Each name is checked now, so a typo fails at configuration
        rather than on the first undecodable request."""
        names = tuple(encodings)
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"Encoding names must be str, got {type(name).__name__}")
            codecs.lookup(name)
        self._encodings = names

    def reset(self) -> None:
        self._encodings = DEFAULT_FALLBACK_ENCODINGS

    def decode(self, body: bytes | bytearray | memoryview, error: UnicodeDecodeError | None = None) -> str:
        """Decodes ``body`` with the first fallback encoding that accepts it, else as UTF-8 with
        replacement characters. ``error`` is the failure of the declared charset; the fallbacks
        do not depend on it."""
        data = bytes(body)
        for name in self._encodings:
            try:
                return data.decode(name)
            except UnicodeDecodeError:
                continue
        return data.decode("utf-8", "replace")


encodings_settings = EncodingsSettings()
