"""Cookies: the Cookie value object, Set-Cookie parsing and writing, cookie dates."""

import sys
from datetime import datetime
from enum import IntEnum
from typing import Any, ClassVar

from typing_extensions import disjoint_base

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__quillmoth_api__: dict[str, CapsuleType]
__quillmoth_types__: dict[str, CapsuleType]

class CookieSameSiteMode(IntEnum):
    """SameSite attribute of a cookie. An integer without a name converts to an unnamed member
    carrying it."""

    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

@disjoint_base
class Cookie:
    """An HTTP cookie: a name, a value and the attributes written into a Set-Cookie header."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    name: str
    value: str | None
    expires: datetime | None
    domain: str | None
    path: str | None
    http_only: bool
    secure: bool
    max_age: int
    def __init__(
        self,
        name: str,
        value: str | None,
        expires: datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: bool = False,
        secure: bool = False,
        max_age: int = -1,
        same_site: CookieSameSiteMode | int = ...,
    ) -> None: ...
    @property
    def same_site(self) -> CookieSameSiteMode: ...
    @same_site.setter
    def same_site(self, value: CookieSameSiteMode | int) -> None: ...
    def clone(self) -> Cookie: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, object: tuple[Any, ...], /) -> None: ...

class CookieError(Exception):
    """Error of the cookie model."""

    def __init__(self, message: str) -> None: ...

class CookieValueExceedsMaximumLength(CookieError):
    """A cookie value longer than 4096 bytes in UTF-8."""

    def __init__(self) -> None: ...

def parse_cookie(raw_value: bytes) -> Cookie: ...
def datetime_from_cookie_format(value: bytes) -> datetime: ...
def datetime_to_cookie_format(value: datetime) -> bytes: ...
