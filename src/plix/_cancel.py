"""Stopping a simulation or fit from another thread: :class:`Cancelled`."""

from __future__ import annotations

__all__ = ["Cancelled"]


class Cancelled(Exception):
    """A :func:`plix.simulate` or :func:`plix.fit` stopped because its ``cancel`` event was
    set. Nothing of the stopped work is kept."""


def canceller(event, name: str = "cancel"):
    """The check the compiled core calls while it works (None for no event): it raises
    :class:`Cancelled` once ``event.is_set()``.

    Raises
    ------
    TypeError
        If ``event`` is neither None nor has ``is_set()`` (a ``threading.Event``).
    """
    if event is None:
        return None
    if not callable(getattr(event, "is_set", None)):
        raise TypeError(f"{name} must be None or a threading.Event (anything with is_set()), "
                        f"got {type(event).__name__}")

    def check() -> None:
        if event.is_set():
            raise Cancelled("stopped: the cancel event was set")

    return check
