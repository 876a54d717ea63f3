"""The package as installed: one version everywhere, and a layout that sits
beside the host tool's own ``zentrik`` package without taking over its files;
and the source distribution, which holds the sources and nothing built."""

from __future__ import annotations

import email
import json
import os
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


def test_we_own_no_zentrik_folder_only_our_package_stubs_and_finder():
    owned = {f.as_posix() for f in OURS.files or () if f.parts[0] != OURS._path.name}  # type: ignore[attr-defined]
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    built = {f for f in owned if f.endswith(suffix)}
    assert built and built <= {f"zentrik_native/extension-modules/{m.rpartition('.')[2]}{suffix}" for m in MODULES}
    assert not any(f.startswith("zentrik/") for f in owned)
    assert {f for f in owned if f.startswith("zentrik-stubs/")} == {
        *(m.replace("zentrik.", "zentrik-stubs/").replace(".", "/") + ".pyi" for m in MODULES), "zentrik-stubs/py.typed"}
    assert "zentrik_native.pth" in owned
    # Partial: the host's own modules keep their own types.
    assert (pathlib.Path(OURS.locate_file("zentrik-stubs/py.typed"))).read_text() == "partial\n"
    for name in MODULES:
        module = importlib.import_module(name)
        assert (module.__name__, module.__spec__.origin) == (name, module.__file__)


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


# A host tool of its own: a zentrik package with the exceptions module the
# categories module binds, in a folder of its own as a project would be.
HOST_FILES = {
    "zentrik/__init__.py": '"""A host tool of its own."""\n',
    **{f"zentrik/{p}/__init__.py": "" for p in ("auth", "auth/storage", "seller_sprite", "seller_sprite/api",
                                                "seller_sprite/domain")},
    "zentrik/seller_sprite/domain/exceptions.py": "class SellerSpriteConfigError(Exception):\n    HOST = True\n",
}
SETUP_CFG = "[metadata]\nname = fake-host\nversion = 1.0\n[options]\npackages = find{}:\n{}"
PYPROJECT = '[build-system]\nrequires = ["setuptools>=64"]\nbuild-backend = "setuptools.build_meta"\n'


def host_project(folder: pathlib.Path, src: bool) -> pathlib.Path:
    """The host's project: flat (setuptools installs it editable through a
    finder on sys.meta_path) or with a src folder (through a path entry)."""
    package = folder / "src" if src else folder
    for name, text in HOST_FILES.items():
        (package / name).parent.mkdir(parents=True, exist_ok=True)
        (package / name).write_text(text)
    (folder / "pyproject.toml").write_text(PYPROJECT)
    (folder / "setup.cfg").write_text(SETUP_CFG.format(
        *(("_namespace", "package_dir =\n    =src\n[options.packages.find]\nwhere = src\n") if src
          else ("", "[options.packages.find]\ninclude = zentrik*\n"))))
    return folder


def build(hook: str, project: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    """A wheel of `project` made by setuptools' build hook (build_wheel or build_editable)."""
    code = f"import sys, setuptools.build_meta as b; print(b.{hook}(sys.argv[1]))"
    done = subprocess.run([sys.executable, "-c", code, str(out)], cwd=project, capture_output=True, text=True,
                          timeout=120, check=True)
    return out / done.stdout.split()[-1]


def our_wheel(out: pathlib.Path) -> pathlib.Path:
    """Our distribution as installed here, packed back into a wheel."""
    tag = re.search(r"^Tag: (.+)$", OURS.read_text("WHEEL") or "", re.M).group(1)
    wheel = out / f"zentrik_native-{OURS.version}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for f in OURS.files or ():
            if f.parts[0] != "..":  # the console script, which pip makes anew
                archive.write(f.locate(), f.as_posix())
    return wheel


CHECK = """if 1:
    import json, sys
    seen = {}
    try:
        import zentrik
        seen["host"] = zentrik.__doc__
        from zentrik.seller_sprite.domain import exceptions
        seen["domain"] = getattr(exceptions.SellerSpriteConfigError, "HOST", False)
    except ImportError as exc:
        seen["error"] = str(exc)
    try:
        from zentrik_native import cli, standins
    except ImportError:
        print(json.dumps(seen)); sys.exit()
    standins.ensure()
    from zentrik.auth.storage import crypto
    from zentrik.seller_sprite.api import categories, payloads
    import zentrik
    seen["host"] = zentrik.__doc__
    seen["bound"] = getattr(categories.SellerSpriteConfigError, "HOST", False)
    seen["cli"] = cli.main(["payload", "keyword-miner", "node=Nowhere"])
    print(json.dumps(seen))
"""
HOST = {"host": "A host tool of its own.", "domain": True}
BOTH = {**HOST, "bound": True, "cli": 1}


@pytest.mark.parametrize("form", ["regular", "editable-finder", "editable-path", "zip"])
@pytest.mark.parametrize("host_first", [True, False], ids=["host-first", "ours-first"])
def test_the_host_stays_the_package_in_every_install_form_and_order(tmp_path, form, host_first):
    """Both installed into a fresh environment in either order, then the one
    installed first uninstalled: the host's package is the package, and the
    three modules and the host's error class are there whenever each can be."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "env")], check=True, timeout=120)
    python = str(tmp_path / "env" / "bin" / "python")
    site = pathlib.Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                                       capture_output=True, text=True, check=True).stdout.strip())
    pip = [sys.executable, "-m", "pip", "--python", python, "--disable-pip-version-check", "-q"]
    project = host_project(tmp_path / "host", src=form == "editable-path")
    if form == "zip":  # the host's package from a zip file named in a .pth file
        archive = shutil.make_archive(str(tmp_path / "host"), "zip", project, "zentrik")
        host_in = lambda: (site / "fake_host.pth").write_text(archive + "\n")  # noqa: E731
        host_out = lambda: (site / "fake_host.pth").unlink()  # noqa: E731
    else:
        wheel = build("build_wheel" if form == "regular" else "build_editable", project, tmp_path)
        host_in = lambda: subprocess.run([*pip, "install", "--no-index", "--no-deps", str(wheel)], check=True)  # noqa: E731
        host_out = lambda: subprocess.run([*pip, "uninstall", "-y", "fake-host"], check=True)  # noqa: E731
    ours = our_wheel(tmp_path)
    ours_in = lambda: subprocess.run([*pip, "install", "--no-index", "--no-deps", str(ours)], check=True)  # noqa: E731
    ours_out = lambda: subprocess.run([*pip, "uninstall", "-y", "zentrik-native"], check=True)  # noqa: E731

    def seen() -> dict[str, object]:
        done = subprocess.run([python, "-I", "-c", CHECK], capture_output=True, text=True, encoding="utf-8",
                              cwd=tmp_path, timeout=60)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    steps = [(host_in, HOST), (ours_in, BOTH)] if host_first else [(ours_in, None), (host_in, BOTH)]
    steps.append((host_out, None) if host_first else (ours_out, HOST))
    for step, expected in steps:
        step()
        got = seen()
        if expected is None:  # ours alone: the stand-in's error, no host package
            assert (got["host"], got["bound"], got["cli"]) == (None, False, 1), got
        else:
            assert got == expected


# Local state of a working tree, left out of the copy the sdist is made from.
LOCAL = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", "*.so", "*.egg-info",
                               ".pytest_cache", ".mypy_cache", ".hypothesis", "_results", ".chroot*")
BUILD_OUTPUT = ["dist/zentrik_native-0.1.0-cp311-cp311-linux_x86_64.whl", "build/cp311/CMakeCache.txt",
                ".venv-3.11/pyvenv.cfg", "src/zentrik/seller_sprite/api/payloads.cpython-311-x86_64-linux-gnu.so",
                "src/zentrik_native/__pycache__/cli.cpython-311.pyc", ".hypothesis/examples/0",
                ".mypy_cache/3.11/cli.json", "bench/_results/run.json", ".chroot-wheel-bookworm/etc/os-release",
                ".chroot-unstable.log"]


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


VERSION = "%d.%d" % sys.version_info[:2]


@pytest.mark.parametrize("env, defines, install", [
    ({"CXX": "/nonexistent/g++"}, [], "install g++ (Debian: apt install g++)"),
    ({}, ["-DPython_INCLUDE_DIR=/nonexistent"], f"install python{VERSION}-dev (Debian: apt install python{VERSION}-dev)"),
    ({}, ["-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON"], "install libssl-dev (Debian: apt install libssl-dev)"),
], ids=["g++", "python-dev", "libssl-dev"])
def test_a_build_without_a_prerequisite_says_first_what_to_install(tmp_path, env, defines, install):
    cmake = shutil.which("cmake", path=pathlib.Path(sys.executable).parent) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake here")
    done = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}",
                           *defines], env={**os.environ, **env}, capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    said = [line for line in (done.stdout + done.stderr).splitlines() if line and not line.startswith("--")]
    assert said[0].startswith("zentrik-native: cannot build: ") and said[0].endswith(install), said
