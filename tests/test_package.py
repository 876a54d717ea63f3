"""The package as installed: one version everywhere, and a layout that sits
beside the host tool's own ``zentrik`` package without taking over its files;
and the source distribution, which holds the sources and nothing built."""

from __future__ import annotations

import base64
import email
import hashlib
import importlib
import importlib.machinery
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from importlib import metadata

import pytest

from zentrik_native import standins

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["zentrik.seller_sprite.api.payloads", "zentrik.seller_sprite.api.categories", "zentrik.auth.storage.crypto"]
OURS = metadata.distribution("zentrik-native")


def project_version() -> str:
    found = re.search(r'^\[project\]$.*?^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M | re.S)
    assert found, "pyproject.toml names no version"
    return found.group(1)


@pytest.mark.parametrize("name", MODULES)
def test_each_module_carries_the_projects_version(name):
    assert importlib.import_module(name).__version__ == metadata.version("zentrik-native") == project_version()


def fresh(code: str, *path: pathlib.Path) -> subprocess.CompletedProcess[str]:
    """Run code in an isolated interpreter (no PYTHONPATH, so no stand-in
    from conftest), with `path` put first on sys.path."""
    head = f"import sys; sys.path[:0] = {[str(p) for p in path]!r}\n"
    return subprocess.run([sys.executable, "-I", "-c", head + textwrap.dedent(code)],
                          capture_output=True, text=True, encoding="utf-8", timeout=60)


def test_our_zentrik_tree_is_the_extensions_their_stubs_and_markers():
    owned = {f.as_posix() for f in OURS.files or () if f.parts[0] == "zentrik"}
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    built = {f for f in owned if f.endswith(suffix)}
    assert built and built <= {m.replace(".", "/") + suffix for m in MODULES}
    assert owned - built == {*(m.replace(".", "/") + ".pyi" for m in MODULES),
                             "zentrik/seller_sprite/api/py.typed", "zentrik/auth/storage/py.typed"}


def test_the_stand_in_is_found_only_once_the_front_or_conftest_adds_it():
    # A host tool installed here would make the stand-in moot.
    done = fresh("""
        from zentrik_native import standins
        try:
            import zentrik.seller_sprite.domain.exceptions
        except ModuleNotFoundError as exc:
            print(exc.name)
        else:
            sys.exit(0)
        added = standins.ensure()
        from zentrik.seller_sprite.api import categories
        import zentrik.seller_sprite.domain.exceptions as exceptions
        print(added, exceptions.__file__.startswith(standins.PATH),
              categories.SellerSpriteConfigError is exceptions.SellerSpriteConfigError,
              standins.ensure(), sys.path.count(standins.PATH))
    """)
    assert done.returncode == 0, done.stderr
    if not done.stdout:
        pytest.skip("the host tool's exceptions module is installed")
    assert done.stdout.split() == ["zentrik.seller_sprite.domain", "True", "True", "True", "False", "1"]


@pytest.mark.parametrize(("argv", "printed"), [
    (["zentrik_native", "payload", "competitor-lookup", "node=Cookware"], '"nodeIdPaths": ["1055398:284507:289668"]'),
    (["zentrik_native.demo"], "== category text resolved offline"),
])
def test_front_and_demo_find_the_stand_in_themselves(argv, printed):
    done = subprocess.run([sys.executable, "-I", "-m", *argv], capture_output=True, text=True, encoding="utf-8",
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert printed in done.stdout


HOST_FILES = {
    "zentrik/__init__.py": '"""A host tool of its own."""\n',
    **{f"zentrik/{p}/__init__.py": "" for p in ("auth", "auth/storage", "seller_sprite", "seller_sprite/api",
                                                "seller_sprite/domain")},
    "zentrik/seller_sprite/domain/exceptions.py": "class SellerSpriteConfigError(Exception):\n    HOST = True\n",
}


def host_wheel(folder: pathlib.Path) -> pathlib.Path:
    """A wheel of a fake host distribution that ships its own zentrik package."""
    info = "fake_host-1.0.dist-info"
    files = {**HOST_FILES,
             f"{info}/METADATA": "Metadata-Version: 2.1\nName: fake-host\nVersion: 1.0\n",
             f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n"}
    record = []
    for name, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(text.encode())}")
    files[f"{info}/RECORD"] = "\n".join([*record, f"{info}/RECORD,,"]) + "\n"
    wheel = folder / "fake_host-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return wheel


def test_beside_a_host_the_host_keeps_its_files_and_its_error_is_bound(tmp_path):
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps", "--disable-pip-version-check",
                    "--target", str(target), str(host_wheel(tmp_path))], check=True, capture_output=True, timeout=120)
    assert {p.relative_to(target).as_posix() for p in (target / "zentrik").rglob("*.py")} == set(HOST_FILES)
    # Our files go in next to the host's, as an installer would put them; none may be one of the host's.
    ours = [f for f in OURS.files or () if f.parts[0] in ("zentrik", "zentrik_native")]
    assert [f.as_posix() for f in ours if (target / f).exists()] == []
    for f in ours:
        (target / f).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(f.locate(), target / f)

    done = fresh("""
        import zentrik
        from zentrik_native import cli, standins
        added = standins.ensure()
        from zentrik.seller_sprite.api import categories
        from zentrik.seller_sprite.domain import exceptions
        print(zentrik.__doc__, added, categories.SellerSpriteConfigError is exceptions.SellerSpriteConfigError,
              categories.SellerSpriteConfigError.HOST, cli.main(["payload", "keyword-miner", "node=Nowhere"]), sep="|")
    """, target)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["A host tool of its own.|False|True|True|1"]
    assert done.stderr.startswith("zentrik-sellersprite: error: 未匹配到卖家精灵类目：Nowhere")


# Local state of a working tree, left out of the copy the sdist is made from.
LOCAL = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", "*.so", "*.egg-info",
                               ".pytest_cache", ".mypy_cache", ".hypothesis", "_results")
BUILD_OUTPUT = ["dist/zentrik_native-0.1.0-cp311-cp311-linux_x86_64.whl", "build/cp311/CMakeCache.txt",
                ".venv-3.11/pyvenv.cfg", "src/zentrik/seller_sprite/api/payloads.cpython-311-x86_64-linux-gnu.so",
                "src/zentrik_native/__pycache__/cli.cpython-311.pyc", ".hypothesis/examples/0",
                ".mypy_cache/3.11/cli.json", "bench/_results/run.json"]


def test_the_sdist_holds_the_sources_and_no_build_output(tmp_path):
    tree = tmp_path / "tree"
    shutil.copytree(ROOT, tree, ignore=LOCAL)
    (tree / ".gitignore").unlink()  # pyproject.toml's rules alone keep the output out
    sources = {p.relative_to(tree).as_posix() for p in tree.rglob("*") if p.is_file()}
    for name in BUILD_OUTPUT:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text("output")
    code = "import sys, scikit_build_core.build as backend; print(backend.build_sdist(sys.argv[1]))"
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path)], cwd=tree, capture_output=True, text=True,
                          timeout=120, check=True)
    with tarfile.open(tmp_path / done.stdout.split()[-1]) as sdist:
        members = {m.name.partition("/")[2]: m for m in sdist.getmembers() if m.isfile()}
        info = email.message_from_bytes(sdist.extractfile(members["PKG-INFO"]).read())
    assert set(members) == sources | {"PKG-INFO"}
    assert (info["Name"], info["Version"], info["Description-Content-Type"]) == (
        "zentrik-native", project_version(), "text/markdown")
    assert info.get_payload().strip() == (ROOT / "README.md").read_text(encoding="utf-8").strip()
