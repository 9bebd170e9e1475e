"""The session of a request: a dictionary of values that a session store loads before the
request is handled and saves afterwards, when it was modified."""

from __future__ import annotations

from collections.abc import Iterator, Mapping, MutableMapping
from typing import Any

__all__ = ["Session"]

_MISSING = object()


class Session(MutableMapping):
    """A mutable mapping of session values with a ``modified`` flag.

    Every change through the mapping interface (setting, deleting, ``pop``, ``update``,
    ``clear``...) marks the session modified; reading does not. Mutating a value in place (for
    example appending to a list held by the session) cannot be seen: call ``mark_modified()``
    after such a change."""

    __slots__ = ("_values", "modified")

    def __init__(self, values: Mapping[str, Any] | None = None) -> None:
        self._values: dict[str, Any] = dict(values) if values else {}
        self.modified = False

    def __getitem__(self, key: str) -> Any:
        return self._values[key]

    def __setitem__(self, key: str, value: Any) -> None:
        self._values[key] = value
        self.modified = True

    def __delitem__(self, key: str) -> None:
        del self._values[key]
        self.modified = True

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __contains__(self, key: object) -> bool:
        return key in self._values

    def get(self, key: str, default: Any = None) -> Any:
        return self._values.get(key, default)

    def set(self, key: str, value: Any) -> None:
        self[key] = value

    def pop(self, key: str, default: Any = _MISSING) -> Any:
        if key in self._values:
            self.modified = True
            return self._values.pop(key)
        if default is _MISSING:
            raise KeyError(key)
        return default

    def clear(self) -> None:
        if self._values:
            self._values.clear()
            self.modified = True

    def mark_modified(self) -> None:
        self.modified = True

    def to_dict(self) -> dict[str, Any]:
        """A shallow copy of the values, for serialization."""
        return dict(self._values)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Session):
            return self._values == other._values
        if isinstance(other, Mapping):
            return self._values == dict(other)
        return NotImplemented

    __hash__ = None  # mutable

    def __repr__(self) -> str:
        return f"<Session {self._values!r} modified={self.modified}>"
