"""Child interpreters for the crypto tests."""

from __future__ import annotations

import subprocess
import sys


def python(code: str, *args: str, prefix: tuple[str, ...] | list[str] = (), **kwargs):
    """A child interpreter running code with args."""
    return subprocess.Popen([*prefix, sys.executable, "-c", code, *args], text=True, **kwargs)
