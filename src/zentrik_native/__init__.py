"""The Python side of the zentrik native modules.

The extension modules themselves live in the host tool's ``zentrik``
namespace (``zentrik.seller_sprite.api.payloads``,
``zentrik.seller_sprite.api.categories``, ``zentrik.auth.storage.crypto``);
this package holds what is ours alone: the command-line front
(``python -m zentrik_native``, ``zentrik-sellersprite``), the demonstration
(``python -m zentrik_native.demo``), its offline category client and the
stand-ins for the host's modules that the extensions import.
"""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("zentrik-native")
except _metadata.PackageNotFoundError:  # sources that were never installed
    __version__ = "unknown"
