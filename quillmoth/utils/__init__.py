"""Small helpers shared by the framework modules."""

from __future__ import annotations

from typing import Any

__all__ = ["get_class_instance_hierarchy"]


def get_class_instance_hierarchy(instance: Any) -> tuple[type, ...]:
    """The classes of ``instance``, most specific first: its own class, then its bases in method
    resolution order (ending with ``object``). Exception handler lookups walk this to find the
    closest registered class."""
    return type(instance).__mro__
