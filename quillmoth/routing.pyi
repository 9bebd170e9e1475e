"""Radix-tree routing of raw request paths, one tree per HTTP method."""

import re
import sys
from typing import Any, Self

from typing_extensions import disjoint_base

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

# A match: the route registered for the path and the values captured from it (None without any).
_Match = tuple[Any, dict[str, str] | None]

__quillmoth_api__: dict[str, CapsuleType]
__quillmoth_types__: dict[str, CapsuleType]

_INT_RX: re.Pattern[bytes]
_FLOAT_RX: re.Pattern[bytes]
_UUID_RX: re.Pattern[bytes]

@disjoint_base
class RadixNode:
    """One node of a route pattern tree."""

    segment: bytes | None
    route: Any
    children: dict[bytes, RadixNode]
    param_child: RadixNode | None
    param_name: str | None
    param_names: list[str] | None
    param_validator: re.Pattern[bytes] | None
    wildcard_child: RadixNode | None
    wildcard_name: str | None
    wildcard_suffix: bytes | None
    is_leaf: bool
    def __new__(cls, segment: bytes | None = b"") -> Self: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class RadixTree:
    """Route patterns of one HTTP method."""

    root: RadixNode
    static_routes: dict[bytes, Any]
    def __new__(cls) -> Self: ...
    def insert(self, pattern: bytes, route: Any, param_names: list[str] | None = None) -> None: ...
    def match(self, path: bytes) -> _Match | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class RouteMatch:
    """A matched route with its decoded route values."""

    handler: Any
    pattern: Any
    route: Any
    _values: dict[str, Any] | None
    def __init__(self, route: Any, values: dict[str, Any] | None = None) -> None: ...
    @property
    def values(self) -> dict[str, Any] | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

@disjoint_base
class CythonRadixRouter:
    """One radix tree of routes per HTTP method."""

    trees: dict[bytes, RadixTree]
    def __new__(cls) -> Self: ...
    def add_route(self, method: bytes, pattern: bytes, route: Any, param_names: list[str] | None = None) -> None: ...
    def get_match(self, method: bytes, path: bytes) -> _Match | None: ...
    def match_request(self, method: str, path: bytes) -> RouteMatch | None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
