"""Time helpers."""

from __future__ import annotations

from datetime import datetime, timezone

__all__ = ["utcnow"]


def utcnow() -> datetime:
    """The current time in UTC, as a timezone-aware datetime."""
    return datetime.now(timezone.utc)
