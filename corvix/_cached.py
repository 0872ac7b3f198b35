"""A cached attribute without a lock, for the Run and Scan objects.

Before Python 3.12, ``functools.cached_property`` takes one lock per
attribute of the class for every first read, on every instance: reading many
scans spends much of its time there, and threads reading different scans
wait on each other. The value is computed from the file, which does not
change, so two threads that compute it at once store equal values; no lock is
needed. From Python 3.12 on, ``functools.cached_property`` is already this.
"""

from __future__ import annotations

import functools
from typing import Any, TypeVar

T = TypeVar("T")


class cached_property(functools.cached_property[T]):  # noqa: N801 (the name of what it replaces)
    """``functools.cached_property`` without the lock: the value is computed on first read and kept."""

    def __get__(self, instance: Any, owner: type[Any] | None = None) -> Any:
        if instance is None:
            return self
        value = self.func(instance)
        instance.__dict__[self.attrname] = value
        return value
