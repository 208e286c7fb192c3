"""Whether the suite runs against the sanitizer build (make sanitize), which runs code two to
five times slower: latency bounds widen by SLOWDOWN there."""

import os

SANITIZED = os.environ.get("PLIX_SANITIZE") == "1"
SLOWDOWN = 4.0 if SANITIZED else 1.0


def within(seconds: float) -> float:
    """A latency bound, widened under the sanitizers."""
    return seconds * SLOWDOWN
