"""The Python side of the zentrik native modules.

The extension modules themselves are importable under the host tool's
``zentrik`` package (``zentrik.seller_sprite.api.payloads``,
``zentrik.seller_sprite.api.categories``, ``zentrik.auth.storage.crypto``);
this package holds what is ours alone: the command-line front
(``python -m zentrik_native``, ``zentrik-sellersprite``), the demonstration
(``python -m zentrik_native.demo``), its offline category client and the
stand-ins for the host's modules that the extensions import.
"""

# Nothing is imported here: this package is imported at every interpreter
# start (the module finder) and by the command line, whose start-up time is
# most of what it costs. ``__version__`` is read from the installed metadata
# on first use.


def __getattr__(name: str) -> str:
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("zentrik-native")
    except metadata.PackageNotFoundError:  # sources that were never installed
        version = "unknown"
    globals()["__version__"] = version
    return version
