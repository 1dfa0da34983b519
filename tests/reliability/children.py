"""The environment of the child interpreters that the reliability tests start."""

import os


def child_environment():
    """The environment of a child interpreter: a sanitizer's report goes to the
    child's stderr (where the test sees it), not to the run's report files."""
    env = dict(os.environ)
    env.setdefault("PYTHONFAULTHANDLER", "1")
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in env:
            env[name] = ":".join(o for o in env[name].split(":") if not o.startswith("log_path="))
    return env
