"""Stand-ins for the host tool's modules that the extension modules import.

The categories module binds ``SellerSpriteConfigError`` from the host's
``zentrik.seller_sprite.domain.exceptions`` when it is loaded. Where the host
tool is installed, its module is the one bound. Where it is not (this
package's command-line front, demonstration and tests on their own),
:func:`ensure` adds this folder, which holds a portion of the ``zentrik``
namespace package with a module of that name, to the end of ``sys.path``.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys

__all__ = ["MODULE", "PATH", "ensure"]

#: The host's module that the stand-in takes the place of.
MODULE = "zentrik.seller_sprite.domain.exceptions"
#: The folder to put on ``sys.path`` (or ``PYTHONPATH``) for the stand-in.
PATH = os.path.dirname(os.path.abspath(__file__))


def _missing(error: ModuleNotFoundError) -> bool:
    """Whether `error` says that MODULE or a package above it is not there
    (rather than that something the host's module imports is missing)."""
    name = error.name or ""
    return name == MODULE or MODULE.startswith(name + ".")


def ensure() -> bool:
    """Make ``zentrik.seller_sprite.domain.exceptions`` importable.

    Leaves ``sys.path`` alone and returns False when the module can be found
    without the stand-in (the host's real module always wins); otherwise
    appends :data:`PATH` to ``sys.path`` and returns True.
    """
    try:
        if importlib.util.find_spec(MODULE) is not None:
            return False
    except ModuleNotFoundError as error:
        if not _missing(error):
            raise
    if PATH not in sys.path:
        sys.path.append(PATH)
    importlib.invalidate_caches()
    return True
