"""Makes the extension modules importable under the host tool's names.

The three extension files live in this package (``extension-modules/``, a
folder no import can reach by itself), not in a ``zentrik/`` folder of ours:
any such folder in site-packages is a namespace portion that the path finder
returns for ``zentrik`` before an editable install's finder is asked, and the
host's package then stops being the package. Instead ``zentrik_native.pth``
imports this module at interpreter start, which puts :class:`Finder` first on
``sys.meta_path``. It answers for exactly the three module names, and for the
packages above them only when no other finder knows them (no host installed
at all); every other name is left to the rest of the import system.

This runs at every interpreter start: it imports nothing but what the
interpreter already holds, and does its work on the first lookup of one of
its names.
"""

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: nothing more is imported at interpreter start
    from collections.abc import Iterator, Sequence
    from importlib.machinery import ModuleSpec
    from types import ModuleType

# importlib.machinery's classes, from the interpreter's own import system
# that it re-exports (always loaded; importing importlib.machinery itself
# would add importlib and warnings to the first import of a module).
_bootstrap = sys.modules.get("_frozen_importlib")
_external = sys.modules.get("_frozen_importlib_external")

__all__ = ["MODULES", "PARENTS", "FOLDER", "Finder", "install"]

#: The extension modules: full name -> the file's name without its suffix.
MODULES = {
    "zentrik.seller_sprite.api.payloads": "payloads",
    "zentrik.seller_sprite.api.categories": "categories",
    "zentrik.auth.storage.crypto": "crypto",
}
#: The packages above them.
PARENTS = frozenset(name.rsplit(".", i)[0] for name in MODULES for i in (1, 2, 3))
#: Where the extension files are installed.
FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "extension-modules")


class _Portions:
    """The ``__path__`` of a package made here: the folders named like it in
    its parent's path, found anew on every use, so that a folder put on
    ``sys.path`` later (the host's stand-ins) is searched as a namespace
    package's portions would be."""

    def __init__(self, name: str) -> None:
        self._name = name

    def _folders(self) -> list[str]:
        parent, _, last = self._name.rpartition(".")
        above = getattr(sys.modules.get(parent), "__path__", ()) if parent else sys.path
        return [folder for folder in (os.path.join(entry, last) for entry in above if isinstance(entry, str))
                if os.path.isdir(folder)]

    def __iter__(self) -> "Iterator[str]":
        return iter(self._folders())

    def __len__(self) -> int:
        return len(self._folders())

    def __contains__(self, item: object) -> bool:
        return item in self._folders()

    def __repr__(self) -> str:
        return f"_Portions({self._folders()!r})"


class _PackageLoader:
    """Makes an empty package (one that no finder but ours knows)."""

    @staticmethod
    def create_module(spec: "ModuleSpec") -> None:
        return None

    @staticmethod
    def exec_module(module: "ModuleType") -> None:
        pass


class Finder:
    """The meta path finder of the three extension modules (and, where no
    host tool is installed, of the packages above them)."""

    @classmethod
    def find_spec(cls, name: str, path: "Sequence[str] | None" = None,
                  target: "ModuleType | None" = None) -> "ModuleSpec | None":
        if name in MODULES:
            return cls._module_spec(name)
        if name in PARENTS:
            return cls._package_spec(name, path, target)
        return None

    @staticmethod
    def _module_spec(name: str) -> "ModuleSpec | None":
        machinery = _external if _bootstrap and _external else __import__("importlib.machinery").machinery
        for suffix in machinery.EXTENSION_SUFFIXES:
            file = os.path.join(FOLDER, MODULES[name] + suffix)
            if os.path.isfile(file):
                spec = _spec_type()(name, machinery.ExtensionFileLoader(name, file), origin=file)
                spec.has_location = True
                return spec
        return None  # a build of fewer modules

    @classmethod
    def _package_spec(cls, name: str, path: "Sequence[str] | None",
                      target: "ModuleType | None") -> "ModuleSpec":
        # The host's package wins however it is installed: ask every other
        # finder, and prefer a regular package to a namespace portion (a
        # stray zentrik/ folder on sys.path must not hide an editable install).
        portion: "ModuleSpec | None" = None
        for finder in list(sys.meta_path):
            if finder is cls or getattr(finder, "find_spec", None) is None:
                continue
            spec: "ModuleSpec | None" = finder.find_spec(name, path, target)
            if spec is None:
                continue
            if spec.origin not in (None, "namespace"):
                return spec
            portion = portion or spec
        if portion is not None:
            return portion
        spec = _spec_type()(name, _PackageLoader(), is_package=True)  # type: ignore[arg-type]
        spec.submodule_search_locations = _Portions(name)  # type: ignore[assignment]
        return spec


def _spec_type() -> "type[ModuleSpec]":
    spec_type: "type[ModuleSpec]" = (_bootstrap.ModuleSpec if _bootstrap
                                     else __import__("importlib.machinery").machinery.ModuleSpec)
    return spec_type


def install() -> None:
    """Put :class:`Finder` first on ``sys.meta_path`` (once)."""
    if Finder not in sys.meta_path:
        sys.meta_path.insert(0, Finder)


install()
