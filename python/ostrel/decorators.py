"""Call decorators of the client."""

from __future__ import annotations

import functools
import threading
import time
import weakref
from typing import Any, Callable

__all__ = ["ttl_cache", "clear_all"]

# every cache made by ttl_cache, so a store write can drop them all
_caches: "weakref.WeakSet[Callable]" = weakref.WeakSet()


def ttl_cache(seconds: float, clock: Callable[[], float] = time.monotonic) -> Callable:
    """缓存函数结果 ``seconds`` 秒。

    Results are keyed by the argument values (positional and keyword calls of
    the same values share one entry) and the very same object is returned
    until the entry is older than ``seconds``. ``cache_clear()`` empties it.
    """
    if seconds < 0:
        raise ValueError("ttl_cache: seconds must be >= 0, got {}".format(seconds))

    def decorate(fn: Callable) -> Callable:
        import inspect

        try:
            sig: inspect.Signature | None = inspect.signature(fn)
        except (TypeError, ValueError):  # built-in functions may carry no signature
            sig = None
        entries: dict = {}
        lock = threading.Lock()

        def key_of(args: tuple, kwargs: dict) -> Any:
            if sig is None:
                return (args, tuple(sorted(kwargs.items())))
            bound = sig.bind(*args, **kwargs)
            bound.apply_defaults()
            return tuple(bound.arguments.items())

        @functools.wraps(fn)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            key = key_of(args, kwargs)
            now = clock()
            with lock:
                hit = entries.get(key)
                if hit is not None and now - hit[0] < seconds:
                    return hit[1]
            value = fn(*args, **kwargs)
            with lock:
                entries[key] = (clock(), value)
            return value

        wrapper.cache_clear = entries.clear  # type: ignore[attr-defined]
        _caches.add(wrapper)
        return wrapper

    return decorate


def clear_all() -> None:
    """Empties every ttl cache, e.g. after new data was written into the store."""
    for wrapper in list(_caches):
        wrapper.cache_clear()
