"""Identity package: the authenticated (or anonymous) user of a request.

A request that no authentication handler recognised carries an ``Identity()`` without claims and
without an authentication mode: ``is_authenticated()`` is False for it.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["Identity"]


class Identity:
    """The claims about a user and the authentication mode that established them (for example
    "JWT Bearer" or "Cookie"). The identity is authenticated when a mode is set."""

    __slots__ = ("claims", "authentication_mode")

    def __init__(self, claims: Mapping[str, Any] | None = None, authentication_mode: str | None = None) -> None:
        if claims is not None and not isinstance(claims, Mapping):
            raise TypeError(f"claims must be a mapping, got {type(claims).__name__}")
        if authentication_mode is not None and not isinstance(authentication_mode, str):
            raise TypeError(f"authentication_mode must be a str, got {type(authentication_mode).__name__}")
        self.claims: dict[str, Any] = dict(claims) if claims else {}
        self.authentication_mode = authentication_mode

    def is_authenticated(self) -> bool:
        return bool(self.authentication_mode)

    @property
    def sub(self) -> Any:
        """The subject claim (the user's id), or None."""
        return self.claims.get("sub")

    @property
    def name(self) -> Any:
        return self.claims.get("name")

    @property
    def roles(self) -> list[Any]:
        """The "roles" claim as a list (a single role given as a str is one item)."""
        roles = self.claims.get("roles")
        if roles is None:
            return []
        if isinstance(roles, str):
            return [roles]
        return list(roles)

    def has_claim(self, name: str) -> bool:
        return name in self.claims

    def has_claim_value(self, name: str, value: Any) -> bool:
        """Whether the claim equals ``value``, or, for a list claim, contains it."""
        if name not in self.claims:
            return False
        claim = self.claims[name]
        if isinstance(claim, (list, tuple, set, frozenset)):
            return value in claim
        return claim == value

    def has_role(self, role: str) -> bool:
        return role in self.roles

    def get(self, name: str, default: Any = None) -> Any:
        return self.claims.get(name, default)

    def __getitem__(self, name: str) -> Any:
        return self.claims[name]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Identity):
            return NotImplemented
        return self.claims == other.claims and self.authentication_mode == other.authentication_mode

    __hash__ = None  # mutable claims

    def __repr__(self) -> str:
        return f"<Identity sub={self.sub!r} authenticated={self.is_authenticated()}>"
