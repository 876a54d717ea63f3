"""zentrik.auth.storage.crypto: key file, credential format, interoperability, hygiene."""

import errno
import importlib.util
import os
import pathlib
import pydoc
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time
import weakref

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from conftest import bare_signature, mypy_env, needs_cryptography
from crypto_children import python, shim_env, without_capabilities

from zentrik.auth.storage import crypto as crypto_module
from zentrik.auth.storage.crypto import Crypto

try:
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
except ImportError:  # a build cryptography has no wheel for: the module's own stand-in is raised
    AESGCM = None
InvalidTag = crypto_module.InvalidTag

ROOT = pathlib.Path(__file__).resolve().parent.parent
KEY_LENGTH_ERROR = "AESGCM key must be 128, 192, or 256 bits."
EXAMPLES = 60 if os.environ.get("ZENTRIK_SANITIZER") else 400
# Values from 64 KiB on go through cryptography's own AES-GCM (from 8 KiB on
# where the CPU has AVX-512): the last texts are on both sides of that.
TEXTS = ["", "a", "password-123", "密码：秘密", "emoji 🎉 and ascii", "\x00\x7f", "é" * 300, "x" * 5000,
         "x" * 8191, "k" * 70_000, "ключ" * 20_000]


def permissions_enforced():
    # Root with its capabilities writes into read-only directories.
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o500)
        try:
            open(os.path.join(folder, "probe"), "wb").close()
            return False
        except PermissionError:
            return True
        finally:
            os.chmod(folder, 0o700)


NEEDS_PERMISSIONS = pytest.mark.skipif(not permissions_enforced(), reason="file permissions not enforced")


def key_file(directory, key, name="credential.key", mode=0o600):
    path = pathlib.Path(directory) / name
    path.write_bytes(key)
    path.chmod(mode)
    return path


def aesgcm_value(key, data):
    nonce = os.urandom(12)
    return nonce + AESGCM(key).encrypt(nonce, data, None)


def raises(exc, func, *args):
    try:
        func(*args)
    except exc:
        return
    raise AssertionError(f"{func} did not raise {exc}")


@pytest.fixture
def crypto(tmp_path):
    return Crypto(tmp_path / "credential.key")


# --- the key file ----------------------------------------------------------------


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("umask", [0, 0o022, 0o077])
@pytest.mark.parametrize("how", ["str", "path", "fspath", "keyword"])
def test_new_key_file_is_32_bytes_mode_0600_and_reused(tmp_path, umask, how):
    path = tmp_path / "credential.key"
    arg = {"str": str(path), "path": path, "fspath": FsPath(str(path)), "keyword": str(path)}[how]
    old = os.umask(umask)
    try:
        made = Crypto(key_path=arg) if how == "keyword" else Crypto(arg)
    finally:
        os.umask(old)
    assert type(made._key_path) is type(pathlib.Path()) and made._key_path == path
    assert type(made._key) is bytes and len(made._key) == 32 and made._key == path.read_bytes()
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and os.listdir(tmp_path) == ["credential.key"]
    again = Crypto(path)
    assert again._key == made._key and again.decrypt(made.encrypt("x")) == "x"


@pytest.mark.parametrize("key", [os.urandom(32), os.urandom(16), b"", b"line\n" * 20])
def test_existing_key_file_is_used_unchanged(tmp_path, key):
    path = key_file(tmp_path, key, mode=0o644)
    (tmp_path / "link.key").symlink_to(path)
    assert Crypto(path)._key == key and Crypto(tmp_path / "link.key")._key == key
    assert stat.S_IMODE(path.stat().st_mode) == 0o644 and path.read_bytes() == key


def test_load_or_create_key_reads_the_file_again_and_object_keeps_its_key(tmp_path):
    made = Crypto(tmp_path / "k")
    value = made.encrypt("secret")
    (tmp_path / "k").write_bytes(b"B" * 32)
    assert made._load_or_create_key() == b"B" * 32 and made._key != b"B" * 32
    (tmp_path / "k").unlink()
    fresh = made._load_or_create_key()
    assert len(fresh) == 32 and fresh == (tmp_path / "k").read_bytes()
    assert made.decrypt(value) == "secret"


@pytest.mark.parametrize("where, error", [
    ("absent/credential.key", FileNotFoundError),
    ("", IsADirectoryError),
    ("a\0b", ValueError),
])
def test_key_path_errors_leave_nothing(tmp_path, where, error):
    with pytest.raises(error) as info:
        Crypto(os.path.join(str(tmp_path), where))
    assert os.listdir(tmp_path) == []
    if error is FileNotFoundError:
        assert info.value.filename == str(tmp_path / where)


@NEEDS_PERMISSIONS
def test_permission_errors(tmp_path):
    key_file(tmp_path, b"k" * 32, mode=0o000)
    with pytest.raises(PermissionError):
        Crypto(tmp_path / "credential.key")
    (tmp_path / "credential.key").unlink()
    tmp_path.chmod(0o500)
    try:
        with pytest.raises(PermissionError):
            Crypto(tmp_path / "credential.key")
        assert os.listdir(tmp_path) == []
    finally:
        tmp_path.chmod(0o700)


@pytest.mark.parametrize("bad", [None, 1, b"bytes"])
def test_key_path_that_is_no_path_raises_the_path_error(bad):
    with pytest.raises(TypeError) as expected:
        pathlib.Path(bad)
    with pytest.raises(TypeError) as got:
        Crypto(bad)
    assert str(got.value) == str(expected.value)


CHILD = """
import sys
from zentrik.auth.storage.crypto import Crypto
print("ready", flush=True)
sys.stdin.readline()
print(Crypto(sys.argv[1])._key.hex(), flush=True)
"""


@pytest.mark.parametrize("round_", range(3))
def test_processes_creating_one_key_file_at_once_share_one_key(tmp_path, round_):
    path = tmp_path / "credential.key"
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(6)]
    for proc in procs:
        assert proc.stdout.readline() == "ready\n"
    for proc in procs:  # release them together
        proc.stdin.write("go\n")
        proc.stdin.flush()
    keys = {proc.communicate(timeout=60)[0].strip() for proc in procs}
    assert [proc.returncode for proc in procs] == [0] * 6
    assert keys == {path.read_bytes().hex()} and len(path.read_bytes()) == 32
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and os.listdir(tmp_path) == ["credential.key"]


# --- format and interoperability ---------------------------------------------------


@needs_cryptography
@pytest.mark.parametrize("key_len", [16, 24, 32])
@pytest.mark.parametrize("text", TEXTS)
def test_interoperates_with_aesgcm_both_ways(tmp_path, key_len, text):
    key = os.urandom(key_len)
    ours = Crypto(key_file(tmp_path, key))
    value = ours.encrypt(text)
    assert type(value) is bytes and len(value) == 28 + len(text.encode())
    assert AESGCM(key).decrypt(value[:12], value[12:], None) == text.encode()
    result = ours.decrypt(aesgcm_value(key, text.encode()))
    assert type(result) is str and result == text


@pytest.mark.parametrize("where", [0, 7, 8, 63, 64, 65, 127, 128, 199])
@pytest.mark.parametrize("char", ["é", "中", "🎉", "\x80"])
def test_non_ascii_anywhere_in_text_comes_back(crypto, where, char):
    text = "a" * where + char + "b" * (199 - where)
    assert crypto.decrypt(crypto.encrypt(text)) == text


@needs_cryptography
@pytest.mark.parametrize("text", ["a" * (1 << 20), "ключ-" * 200_000])
def test_large_texts(crypto, text):
    value = crypto.encrypt(text)
    assert AESGCM(crypto._key).decrypt(value[:12], value[12:], None) == text.encode()
    assert crypto.decrypt(value) == text


def test_every_encryption_has_a_fresh_nonce(crypto):
    values = [crypto.encrypt("same text") for _ in range(500)]
    assert len({v[:12] for v in values}) == 500 and {crypto.decrypt(v) for v in values} == {"same text"}


def nist_decrypt_vectors():
    """The NIST GCM decrypt vectors that fit the format: 96-bit IV, no AAD, 128-bit tag."""
    folder = pathlib.Path(importlib.util.find_spec("cryptography_vectors").origin).parent / "ciphers/AES/GCM"
    vectors = []
    for file in sorted(folder.glob("gcmDecrypt*.rsp")):
        params, vector = {}, None
        for line in [s.strip() for s in file.read_text().splitlines()] + [""]:
            if line.startswith("[") and "=" in line:
                name, val = line[1:-1].split("=")
                params[name.strip()] = int(val)
            elif line.startswith("Count"):
                vector = {}
            elif vector is not None and "=" in line:
                name, val = line.split("=")
                vector[name.strip()] = bytes.fromhex(val.strip())
            elif vector is not None and line == "FAIL":
                vector["FAIL"] = True
            elif vector is not None and not line:
                if (params["IVlen"], params["AADlen"], params["Taglen"]) == (96, 0, 128):
                    vectors.append(vector)
                vector = None
    assert len(vectors) >= 200 and any("FAIL" in v for v in vectors)
    return vectors


@pytest.mark.parametrize("vector", nist_decrypt_vectors())
def test_nist_gcm_decrypt_vectors(tmp_path, vector):
    crypto = Crypto(key_file(tmp_path, vector["Key"]))
    value = vector["IV"] + vector["CT"] + vector["Tag"]
    if "FAIL" in vector:
        raises(InvalidTag, crypto.decrypt, value)
        return
    try:
        expected = vector["PT"].decode("utf-8")
    except UnicodeDecodeError:
        raises(UnicodeDecodeError, crypto.decrypt, value)
    else:
        assert crypto.decrypt(value) == expected


# --- authentication failures -----------------------------------------------------


def test_flipping_any_bit_raises_invalid_tag(crypto):
    value = crypto.encrypt("pässword")
    for i in range(len(value)):
        for bit in range(8):
            changed = bytearray(value)
            changed[i] ^= 1 << bit
            raises(InvalidTag, crypto.decrypt, bytes(changed))


@pytest.mark.parametrize("size", [8191, 70_000])
def test_a_large_value_that_does_not_verify_raises_invalid_tag(crypto, size):
    value = bytearray(crypto.encrypt("x" * size))
    for where in (0, 12, len(value) // 2, len(value) - 1):
        changed = bytearray(value)
        changed[where] ^= 1
        raises(InvalidTag, crypto.decrypt, bytes(changed))


# The free-threaded build takes every object, large ones too, from its own
# allocator (mimalloc), whose delayed purge of freed pages depends on timing.
@pytest.mark.skipif(os.environ.get("ZENTRIK_SANITIZER") is not None or not hasattr(os, "confstr")
                    or "glibc" not in (os.confstr("CS_GNU_LIBC_VERSION") or "")
                    or sysconfig.get_config_var("Py_GIL_DISABLED"), reason="glibc's heap only")
def test_large_round_trips_do_not_fault_their_memory_in_every_time(tmp_path):
    # glibc would hand the memory of each round trip back to the system and
    # fault it in again on the next; run in a child, whose heap is its own.
    code = f"""
import resource, sys
sys.path[:0] = {sys.path!r}
from zentrik.auth.storage.crypto import Crypto
c = Crypto({str(tmp_path / "k")!r})
text = "x" * (1 << 20)
for _ in range(5):
    c.decrypt(c.encrypt(text))
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(50):
    c.decrypt(c.encrypt(text))
print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 50)
"""
    faults = float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    assert faults < 16  # 480 when the heap is trimmed on every call


def test_truncated_extended_or_foreign_values_raise_invalid_tag(tmp_path, crypto):
    value = crypto.encrypt("credential")
    for cut in [value[:n] for n in range(len(value))] + [value + b"\0", value[:12] + value]:
        raises(InvalidTag, crypto.decrypt, cut)
    other = Crypto(tmp_path / "other.key")
    raises(InvalidTag, other.decrypt, value)
    raises(InvalidTag, other.decrypt, crypto.encrypt(""))


# --- other errors ----------------------------------------------------------------


@pytest.mark.parametrize("key", [b"", b"k" * 15, b"k" * 17, b"k" * 31, b"k" * 33, b"k" * 64])
def test_key_of_wrong_length_fails_every_call(tmp_path, key):
    crypto = Crypto(key_file(tmp_path, key))
    assert crypto._key == key
    good = Crypto(tmp_path / "good.key").encrypt("text")
    for call, arg in [(crypto.encrypt, "text"), (crypto.encrypt, "\ud800"), (crypto.decrypt, good),
                      (crypto.decrypt, b"short")] * 2:
        with pytest.raises(ValueError) as info:
            call(arg)
        assert type(info.value) is ValueError and str(info.value) == KEY_LENGTH_ERROR


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("method, arg, expected", [
    ("encrypt", None, "plaintext' has incorrect type (expected str, got NoneType)"),
    ("encrypt", b"text", "plaintext' has incorrect type (expected str, got bytes)"),
    ("encrypt", StrSub("text"), "plaintext' has incorrect type (expected str, got StrSub)"),
    ("decrypt", None, "ciphertext' has incorrect type (expected bytes, got NoneType)"),
    ("decrypt", bytearray(40), "ciphertext' has incorrect type (expected bytes, got bytearray)"),
    ("decrypt", BytesSub(40), "ciphertext' has incorrect type (expected bytes, got BytesSub)"),
])
def test_argument_of_wrong_kind(crypto, method, arg, expected):
    with pytest.raises(TypeError) as info:
        getattr(crypto, method)(arg)
    assert str(info.value) == "Argument '" + expected


@pytest.mark.parametrize("call, message", [
    (lambda c: Crypto(), "Crypto() missing 1 required positional argument: 'key_path'"),
    (lambda c: Crypto("a", key_path="b"), "Crypto() got multiple values for argument 'key_path'"),
    (lambda c: c.encrypt(), "Crypto.encrypt() missing 1 required positional argument: 'plaintext'"),
    (lambda c: c._load_or_create_key(1), "Crypto._load_or_create_key() takes no arguments (1 given)"),
])
def test_argument_count_errors(crypto, call, message):
    with pytest.raises(TypeError) as info:
        call(crypto)
    assert str(info.value) == message
    assert crypto.decrypt(ciphertext=crypto.encrypt(plaintext="t")) == "t"


def test_lone_surrogate_raises_the_interpreters_encode_error(crypto):
    with pytest.raises(UnicodeEncodeError) as expected:
        "ab\ud800".encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as got:
        crypto.encrypt("ab\ud800")
    assert str(got.value) == str(expected.value)


@needs_cryptography
@pytest.mark.parametrize("data", [b"\xff", b"abc\x80", b"\xe4\xb8", b"a" * 70 + b"\xc0\xaf", b"\xed\xa0\x80"])
def test_invalid_utf8_raises_the_interpreters_decode_error(crypto, data):
    with pytest.raises(UnicodeDecodeError) as expected:
        data.decode("utf-8")
    with pytest.raises(UnicodeDecodeError) as got:
        crypto.decrypt(aesgcm_value(crypto._key, data))
    assert str(got.value) == str(expected.value)


# --- the class as a Python object ------------------------------------------------


def test_docstrings_and_signatures():
    doc = crypto_module.__doc__
    assert doc.startswith("AES-256-GCM 加密工具模块。") and "[12 字节随机 nonce] + [AES-GCM 密文]" in doc
    assert "为凭证文件提供对称加密能力，密钥自动生成并存储在本地文件中。" in doc
    assert Crypto.__doc__.startswith("AES-256-GCM 加密器，管理密钥的生成、加载和加解密操作。")
    assert "256 位" in Crypto.__doc__ and "600" in Crypto.__doc__
    assert Crypto._load_or_create_key.__doc__ == "加载已有密钥，或首次使用时生成 256 位 AES 密钥并持久化。"
    assert Crypto.encrypt.__doc__.startswith("加密明文字符串。")
    assert Crypto.decrypt.__doc__.startswith("解密密文，还原为明文字符串。")
    assert "InvalidTag: 密钥不匹配或数据被篡改" in Crypto.decrypt.__doc__
    assert bare_signature(Crypto) == "(key_path)"
    assert bare_signature(Crypto.encrypt) == "(self, /, plaintext)"
    assert bare_signature(Crypto.decrypt) == "(self, /, ciphertext)"
    assert bare_signature(Crypto._load_or_create_key) == "(self, /)"
    assert Crypto.__module__ == "zentrik.auth.storage.crypto" and "解密密文" in pydoc.render_doc(Crypto)


def test_class_is_final_and_attributes_read_only(crypto):
    ref = weakref.ref(crypto)
    assert ref() is crypto
    with pytest.raises(TypeError):
        type("Sub", (Crypto,), {})
    for name in ("_key", "_key_path", "other"):
        with pytest.raises(AttributeError):
            setattr(crypto, name, b"x")


BAD_USES = """
from pathlib import Path
from zentrik.auth.storage.crypto import Crypto
c = Crypto(Path("k"))
Crypto(1)
c.encrypt(b"x")
c.decrypt("x")
n: bytes = c.decrypt(b"")
c._key = b""
class Sub(Crypto): ...
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_checks_with_mypy(tmp_path):
    bad = tmp_path / "bad_uses.py"
    bad.write_text(BAD_USES)
    good = ROOT / "tests" / "stub_examples" / "crypto_examples.py"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(good), str(bad)],
        capture_output=True, text=True, env=mypy_env(), cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "crypto_examples" in e], result.stdout
    # one error on each bad line (5 to 10), and none elsewhere
    assert sorted({int(e.split(":")[1]) for e in errors}) == list(range(5, 11)), result.stdout


# --- hostile key paths, filesystems and texts ------------------------------------


def sparse_8_tib(path):
    path.touch()
    os.truncate(path, 8 << 40)


@pytest.mark.parametrize("make, error, words", [
    (sparse_8_tib, ValueError, "is too long to be a key"),
    (lambda p: p.symlink_to("/dev/zero"), ValueError, "is too long to be a key"),
    (lambda p: p.write_bytes(b"k" * (64 * 1024 + 1)), ValueError, "is too long to be a key"),
    (lambda p: p.symlink_to(p.parent / "missing"), FileNotFoundError, "symbolic link to a missing file"),
    (lambda p: p.write_bytes(b"k" * 64 * 1024), None, None),
], ids=["sparse-8TiB", "dev-zero", "over-the-bound", "dangling-link", "at-the-bound"])
def test_reading_is_bounded_and_a_dangling_link_refused_at_once(tmp_path, make, error, words):
    path = tmp_path / "credential.key"
    make(path)
    before = sorted(os.listdir(tmp_path))
    if error is None:
        assert Crypto(path)._key == path.read_bytes()
    else:
        with pytest.raises(error) as info:
            Crypto(path)
        assert words in str(info.value) and str(path) in str(info.value)
        assert error is ValueError or (info.value.errno, info.value.filename) == (errno.ENOENT, str(path))
    assert sorted(os.listdir(tmp_path)) == before


FIFO_CHILD = """
import os, sys, threading, time
from zentrik.auth.storage.crypto import Crypto
os.mkfifo(sys.argv[1])
reader = threading.Thread(target=lambda: print(Crypto(sys.argv[1])._key.hex()))
reader.start()
time.sleep(0.2)  # the reader waits in open() for a writer, and this thread runs on
with open(sys.argv[1], "wb", buffering=0) as fifo:
    time.sleep(0.2)  # and then in read()
    fifo.write(b"f" * 32)
reader.join()
"""


def test_a_key_path_that_blocks_holds_up_only_its_own_thread(tmp_path):
    child = python(FIFO_CHILD, str(tmp_path / "fifo"), stdout=subprocess.PIPE)
    try:
        assert child.communicate(timeout=60)[0].strip() == (b"f" * 32).hex()
    finally:
        child.kill()


@pytest.mark.parametrize("shim, mode", [
    ({"ZK_LINK_ERRNO": errno.EPERM}, 0o700),
    ({"ZK_LINK_ERRNO": errno.EOPNOTSUPP, "ZK_RENAME_ERRNO": errno.EINVAL}, 0o700),
    ({"ZK_LINK_ERRNO": errno.EPERM, "ZK_RENAME_ERRNO": errno.ENOSYS}, 0o700),
    ({"ZK_LINK_ERRNO": errno.EPERM, "ZK_RENAME_ERRNO": errno.EOPNOTSUPP}, 0o700),
    ({}, 0o300),  # a directory that may be written but not read
])
def test_processes_share_one_new_key_where_links_renames_or_directory_reads_are_refused(tmp_path, shim, mode):
    folder, log, path = tmp_path / "keys", tmp_path / "shim.log", tmp_path / "keys" / "credential.key"
    folder.mkdir()
    folder.chmod(mode)
    prefix = without_capabilities() if mode == 0o300 else ()
    env = shim_env(tmp_path, ZK_SHIM_LOG=log, **shim)
    procs = [python(CHILD, str(path), prefix=prefix, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
             for _ in range(3)]
    assert [proc.stdout.readline() for proc in procs] == ["ready\n"] * 3
    for proc in procs:  # go, all at once
        proc.stdin.write("go\n")
        proc.stdin.flush()
    keys = {proc.communicate(timeout=60)[0].strip() for proc in procs}
    folder.chmod(0o700)
    assert [proc.returncode for proc in procs] == [0] * 3 and keys == {path.read_bytes().hex()}
    assert stat.S_IMODE(path.stat().st_mode) == 0o600 and os.listdir(folder) == ["credential.key"]
    refused = {"link": "ZK_LINK_ERRNO" in shim, "renameat2": "ZK_RENAME_ERRNO" in shim}
    assert set(log.read_text().split() if shim else []) == {name for name, yes in refused.items() if yes}


def test_a_reader_waits_for_a_key_being_written_in_place(tmp_path):
    path = tmp_path / "credential.key"
    env = shim_env(tmp_path, ZK_LINK_ERRNO=errno.EPERM, ZK_RENAME_ERRNO=errno.EINVAL, ZK_FCHMOD_DELAY_MS=500)
    code = "import sys; from zentrik.auth.storage.crypto import Crypto; print(Crypto(sys.argv[1])._key.hex())"
    creator = python(code, str(path), env=env, stdout=subprocess.PIPE)
    try:
        while not os.path.lexists(path) and creator.poll() is None:
            time.sleep(0.005)
        key = Crypto(path)._key  # the creator is held between making the file and writing it
        assert creator.communicate(timeout=60)[0].strip() == key.hex() and path.read_bytes() == key
    finally:
        creator.kill()


def outcome(call):
    """What call() returns, or the kind and text of the error it raises."""
    try:
        return call()
    except Exception as exc:  # noqa: BLE001 - compared with the interpreter's
        return type(exc), str(exc)


@pytest.mark.parametrize("sample", ["é" * 1000, "ключ", "密码" * 50, "🎉 x", "a" * 99 + "\xff", "ab\ud800",
                                    "é\udfff\ud800x", "中\ud800\udc00", "🎉" + "\udc80" * 3 + "z"],
                         ids=["latin-1", "cyrillic", "cjk", "astral", "ascii-then-latin-1", "surrogate",
                              "surrogate-run", "lone-halves", "run-after-astral"])
@needs_cryptography
def test_encrypt_encodes_like_the_interpreter_and_leaves_no_utf8_copy_on_the_text(crypto, sample):
    text = (sample + "!")[:-1]  # a str of its own: a literal may be shared with other tests
    size = sys.getsizeof(text)
    value = outcome(lambda: crypto.encrypt(text))
    if type(value) is bytes:
        value = AESGCM(crypto._key).decrypt(value[:12], value[12:], None)
    assert value == outcome(text.encode) and sys.getsizeof(text) == size


# Characters of every UTF-8 length, surrogates included (UTF-8 cannot hold them).
CHARS = st.one_of(*[st.integers(lo, hi).map(chr) for lo, hi in
                    [(0, 0x7F), (0x80, 0x7FF), (0x800, 0xFFFF), (0xD800, 0xDFFF), (0x10000, 0x10FFFF)]])
UTF8_LIKE = st.lists(CHARS, max_size=12).map(lambda c: "".join(c).encode("utf-8", "surrogatepass"))


@needs_cryptography
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(max_size=24) | UTF8_LIKE)
@example(data=b"\xc0\xaf\xe0\x80\xaf")
@example(data=b"\xf0\x8f\xbf\xbf\xf4\x90\x80\x80")
@example(data=b"\xef\xbf\xbf\xf4\x8f\xbf\xbf\xc2\x80")
def test_decrypt_decodes_like_the_interpreter(crypto, data):
    # str equality compares the kind too: a result wider than it needs to be fails
    assert outcome(lambda: crypto.decrypt(aesgcm_value(crypto._key, data))) == outcome(data.decode)
