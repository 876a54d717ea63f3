"""Tests of the command-line front ``python -m zentrik_native``: payloads
and referers per scenario, category text resolved offline, the credential
round trip, and the one-line errors with their exit codes."""

import asyncio
import base64
import io
import json
import os
import re
import select
import stat
import subprocess
import sys
import time
from importlib import metadata

import pytest

from conftest import ROOT
from zentrik.seller_sprite.api import payloads
from zentrik_native import cli

SCENARIOS = {
    "competitor-lookup": payloads.make_competitor_payload,
    "product-research": payloads.make_product_research_payload,
    "keyword-miner": payloads.make_keyword_miner_payload,
    "keyword-reverse": payloads.make_keyword_reverse_payload,
    "traffic-source": payloads.make_traffic_source_payload,
    "market-research": payloads.make_market_research_payload,
}
OPTIONS = {"market": "jp", "month": "2026-03", "asin": "B07YRMT36L", "asins": "B07YRMT36L, B08N5WRWNW",
           "keyword": "garlic press", "page": "3", "minUnits": "300", "badges": "amazon_choice"}


def run(capsys, monkeypatch, argv, stdin=b""):
    # None: as the interpreter has it when started without stdin (`0<&-`)
    monkeypatch.setattr(sys, "stdin", stdin if stdin is None else io.TextIOWrapper(io.BytesIO(stdin), encoding="utf-8"))
    code = cli.main(argv)
    out, err = capsys.readouterr()
    return code, out, err


def printed(out):
    result = json.loads(out)
    assert set(result) == {"payload", "referer"}
    return result["payload"], result["referer"]


def known(scenario, options):
    return {k: v for k, v in options.items() if k in cli.KNOWN_OPTIONS[scenario]}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_each_scenario_prints_its_payload_and_referer(capsys, monkeypatch, tmp_path, scenario):
    options = known(scenario, OPTIONS)
    words = [f"{k}={v}" for k, v in options.items()]
    code, out, err = run(capsys, monkeypatch, ["payload", scenario, "--no-resolve", *words])
    assert (code, err) == (0, "")
    payload, referer = printed(out)
    assert payload == SCENARIOS[scenario](dict(options))
    assert referer == payloads.build_referer(payload, scenario)

    # The same from a JSON file with values of other kinds; key=value words win over it.
    rich = known(scenario, {"asins": ["B07YRMT36L", "B08N5WRWNW"], "page": 2, "priceMax": 25.5, "badgeAC": True,
                            "keyword": "蒜泥器", "market": "de"})
    (tmp_path / "options.json").write_text(json.dumps(rich), encoding="utf-8")
    code, out, err = run(capsys, monkeypatch, ["payload", scenario, "--json", str(tmp_path / "options.json"),
                                               "market=fr"])
    assert (code, err) == (0, "")
    payload, referer = printed(out)
    assert payload == SCENARIOS[scenario]({**rich, "market": "fr"})
    assert referer == payloads.build_referer(payload, scenario)
    assert "\\u" not in out  # non-ASCII text printed as itself


class Read:
    """An option value that notes in `Read.seen` the key it was given under
    whenever a builder uses it (the builders take an exact dict, so their
    reads show only in what they do with the values); `truth` is its truth."""

    seen: set = set()

    def __init__(self, key, truth):
        self.key, self.truth = key, truth


def noting(answer):
    def use(self, *args):
        Read.seen.add(self.key)
        return answer(self, *args)
    return use


for dunder, answer in {"__bool__": lambda r: r.truth, "__str__": lambda r: "1", "__int__": lambda r: 1,
                     "__index__": lambda r: 1, "__len__": lambda r: 1, "__iter__": lambda r: iter(()),
                     "__eq__": lambda r, other: r is other, "__hash__": lambda r: id(r) >> 4}.items():
    setattr(Read, dunder, noting(answer))


def values_in(result):
    """The keys of the Read values a payload holds as they were given (copied, not used)."""
    if isinstance(result, Read):
        return {result.key}
    if isinstance(result, dict):
        result = result.values()
    if isinstance(result, (list, tuple, type({}.values()))):
        return set().union(*map(values_in, result))
    return set()


def builder_reads(builder, keys):
    """Every key the builder reads, of `keys` all given at once and each given
    alone (a key of a fallback chain is read only when those before it are
    absent or falsy), with truthy and with falsy values."""
    reads = set()
    for truth in (True, False):
        for group in (keys, *([k] for k in keys)):
            Read.seen = set()
            payload = builder({k: Read(k, truth) for k in group})
            reads |= Read.seen | values_in(payload)
    return reads


# Every text of the payloads module's sources (option names among them), and
# every name some scenario reads: the keys offered to each builder.
PAYLOAD_SOURCES = sorted((ROOT / "src" / "native" / "payloads").glob("*.[ch]pp"))
CANDIDATE_KEYS = sorted(
    {text for path in PAYLOAD_SOURCES for text in re.findall(r'"([^"\\\n]*)"', path.read_text(encoding="utf-8"))}
    .union(*cli.KNOWN_OPTIONS.values(), cli.CATEGORY_KEYS, ["asinss", "markt"]))


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_known_options_are_what_each_builder_reads(scenario):
    assert PAYLOAD_SOURCES
    assert builder_reads(SCENARIOS[scenario], CANDIDATE_KEYS) == cli.KNOWN_OPTIONS[scenario]


@pytest.mark.parametrize("argv, options, lines", [
    (["competitor-lookup", "asinss=B07YRMT36L", "markt=us"], {},
     ["unknown option 'asinss' for competitor-lookup; did you mean 'asins'?",
      "unknown option 'markt' for competitor-lookup; did you mean 'market'?"]),
    # from --json as from key=value words, in their order; letter case; nothing close
    (["keyword-miner", "keyword=x", "xyz=1"], {"PageSize": 3, "q": "y", "monthname": "2026-03"},
     ["unknown option 'PageSize' for keyword-miner; did you mean 'pageSize'?",
      "unknown option 'monthname' for keyword-miner; did you mean 'monthName'?",
      "unknown option 'xyz' for keyword-miner"]),
    # category text where the builder reads none, or reads it under another key
    (["traffic-source", "node=Cookware"], {}, ["unknown option 'node' for traffic-source"]),
    (["competitor-lookup", "category=Cookware", "nodeIdPath=Cookware"], {},
     ["unknown option 'category' for competitor-lookup; did you mean 'nodeIdPaths'?",
      "unknown option 'nodeIdPath' for competitor-lookup; did you mean 'nodeIdPaths'?"]),
])
@pytest.mark.parametrize("allow", [False, True])
def test_unknown_option_keys_are_reported(capsys, monkeypatch, argv, options, lines, allow):
    stdin = json.dumps(options).encode()
    code, out, err = run(capsys, monkeypatch, ["payload", *argv, "--json", "-", *["--allow-unknown"] * allow], stdin)
    kind = "warning" if allow else "error"
    assert err.splitlines() == [f"zentrik-sellersprite payload: {kind}: {line}" for line in lines]
    if not allow:
        assert (code, out) == (2, "")
        return
    assert code == 0  # and the payload is that of the keys the builder reads
    given = {**options, **dict(word.split("=", 1) for word in argv[1:])}
    assert printed(out)[0] == SCENARIOS[argv[0]](known(argv[0], given))


def test_json_options_from_stdin(capsys, monkeypatch):
    code, out, _ = run(capsys, monkeypatch, ["payload", "keyword-reverse", "--json", "-", "--no-resolve"],
                       stdin='{"asin": "B0TEST0001", "page": 4}'.encode())
    assert code == 0
    assert printed(out)[0] == payloads.make_keyword_reverse_payload({"asin": "B0TEST0001", "page": 4})


def test_category_text_is_resolved_offline(capsys, monkeypatch):
    pytest.importorskip("zentrik.seller_sprite.api.categories", exc_type=ModuleNotFoundError)
    sample = pytest.importorskip("zentrik_native.sample_client", exc_type=ModuleNotFoundError)
    from zentrik.seller_sprite.api.categories import NODE_PATH_RE, SellerSpriteCategoryResolver

    text = "\u3000HOME & Kitchen ： kitchen & dining , 1055398:1063306"
    for scenario in ("product-research", "market-research"):
        options = {"market": "us", "category": text}
        expected = asyncio.run(SellerSpriteCategoryResolver(sample.OfflineCategoryClient()).resolve_params(
            options, scenario=scenario, site="US", period="nearly"))
        code, out, err = run(capsys, monkeypatch, ["payload", scenario, "market=us", f"category={text}"])
        assert (code, err) == (0, "")
        payload, _ = printed(out)
        assert payload == SCENARIOS[scenario](expected)
        paths = expected["category"] if scenario != "market-research" else expected["category"].split(",")
        assert len(paths) == 2 and all(NODE_PATH_RE.match(p) for p in paths)


def one_line_error(out, err):
    assert out == ""
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert "Traceback" not in err
    return err


@pytest.mark.parametrize("argv, stdin, code, message", [
    ([], b"", 2, "required: COMMAND"),
    (["payload", "keyword-finder"], b"", 2, "invalid choice: 'keyword-finder'"),
    (["payload", "keyword-miner", "keyword"], b"", 2, "malformed option 'keyword'"),
    (["payload", "keyword-miner", "a=1", "a=2"], b"", 2, "'a' given twice"),
    (["payload", "keyword-miner", "--bogus"], b"", 2, "unrecognized arguments: --bogus"),
    (["encrypt"], b"", 2, "required: --key-file"),
    (["payload", "keyword-miner", "--json", "/nonexistent/options.json"], b"", 1, "No such file"),
    (["payload", "keyword-miner", "--json", "-"], b'{"keyword": ', 1, "not valid JSON"),
    (["payload", "keyword-miner", "--json", "-"], b'["keyword"]', 1, "JSON object of options, not an array"),
    (["payload", "keyword-miner", "--json", "-"], b'{"page": NaN}', 1, "NaN is not a JSON number"),
    (["payload", "keyword-miner", "--json", "-"], b'{"page": 1e400}', 1, "too large"),
    (["payload", "keyword-miner", "--json", "-"], b'\xff{}', 1, "not UTF-8"),
    (["decrypt", "--key-file", "KEY", "--value", "not base64!"], b"", 1, "not valid base64"),
    (["decrypt", "--key-file", "KEY"], b"  \n", 1, "no value"),
    (["decrypt", "--key-file", "KEY", "--value", base64.b64encode(bytes(40)).decode()], b"", 1, "密钥不匹配"),
    (["decrypt", "--key-file", "KEY", "--value", base64.b64encode(bytes(28)).decode()], b"", 1, "密钥不匹配"),
    (["decrypt", "--key-file", "KEY"], base64.b64encode(bytes(27)), 1, "error: not an encrypted value: too short\n"),
    (["decrypt", "--key-file", "MISSING", "--value", "AAAA"], b"", 1, "key file not found"),
    (["encrypt", "--key-file", "MISSING"], b"", 1, "nothing to encrypt: the credential text is empty"),
    (["encrypt", "--key-file", "MISSING"], b"\r\n", 1, "nothing to encrypt"),
    (["encrypt", "--key-file", "MISSING", "--text", ""], b"", 1, "nothing to encrypt"),
    (["encrypt", "--key-file", "MISSING"], None, 1, "stdin is closed; give the text with --text"),
    (["decrypt", "--key-file", "KEY"], None, 1, "stdin is closed; give the value with --value"),
    (["payload", "keyword-miner", "--json", "-"], None, 1, "stdin is closed"),
    (["encrypt", "--key-file", "KEY/key", "--text", "x"], b"", 1, "cannot use key file"),
    (["encrypt", "--key-file", "KEY/sub/key", "--text", "x"], b"", 1, "cannot create folder"),
    (["payload", "keyword-miner", "--indent", str(cli.MAX_INDENT + 1)], b"", 2, "--indent: 1001 is too large"),
    (["payload", "keyword-miner", "--indent", str(2**64)], b"", 2, "too large"),
])
def test_errors_are_one_line_with_an_exit_code(capsys, monkeypatch, tmp_path, argv, stdin, code, message):
    (tmp_path / "KEY").write_bytes(os.urandom(32))
    argv = [str(tmp_path / a) if a.startswith(("KEY", "MISSING")) else a for a in argv]
    got, out, err = run(capsys, monkeypatch, argv, stdin)
    assert got == code
    assert message in one_line_error(out, err)
    assert not (tmp_path / "MISSING").exists()  # decrypt, or a refused encrypt, makes no key file


@pytest.mark.parametrize("text", ["No Such Category Anywhere", "kitchen & dining"])  # none; two nodes
def test_unresolvable_category_fails_with_the_resolvers_message(capsys, monkeypatch, text):
    pytest.importorskip("zentrik.seller_sprite.api.categories", exc_type=ModuleNotFoundError)
    sample = pytest.importorskip("zentrik_native.sample_client", exc_type=ModuleNotFoundError)
    from zentrik.seller_sprite.api.categories import SellerSpriteCategoryResolver
    from zentrik.seller_sprite.domain.exceptions import SellerSpriteConfigError

    with pytest.raises(SellerSpriteConfigError) as expected:
        asyncio.run(SellerSpriteCategoryResolver(sample.OfflineCategoryClient()).resolve_params(
            {"node": text}, scenario="competitor-lookup", site="US", period="nearly"))
    code, out, err = run(capsys, monkeypatch, ["payload", "competitor-lookup", f"node={text}"])
    assert code == 1
    assert one_line_error(out, err) == f"zentrik-sellersprite: error: {expected.value}\n"


def test_site_and_period_reach_the_category_lookup(capsys, monkeypatch):
    pytest.importorskip("zentrik.seller_sprite.api.categories", exc_type=ModuleNotFoundError)
    sample = pytest.importorskip("zentrik_native.sample_client", exc_type=ModuleNotFoundError)
    calls = []

    class Recording(sample.OfflineCategoryClient):
        async def category_nodes(self, **kwargs):
            calls.append((kwargs["market_id"], kwargs["table"]))
            return await super().category_nodes(**kwargs)

    monkeypatch.setattr(sample, "OfflineCategoryClient", Recording)
    for argv, call in [([], (1, "bsr_sales_nearly")),
                       (["--site", "de", "--period", "2026-01"], (4, "bsr_sales_monthly_202601")),
                       (["--site", "de", "market=fr", "month=2025-12"], (5, "bsr_sales_monthly_202512"))]:
        calls.clear()
        assert run(capsys, monkeypatch, ["payload", "competitor-lookup", "node=Cookware", *argv])[0] == 0
        assert calls == [call]


def test_credentials_round_trip(capsys, monkeypatch, tmp_path):
    from zentrik.auth.storage.crypto import Crypto

    key = tmp_path / "credential.key"
    text = "seller@example.com:密码 🎉"
    code, out, _ = run(capsys, monkeypatch, ["encrypt", "--key-file", str(key)], (text + "\n").encode())
    assert code == 0
    assert stat.S_IMODE(key.stat().st_mode) == 0o600
    value = base64.b64decode(out.strip(), validate=True)
    assert Crypto(key).decrypt(value) == text  # one trailing line ending of stdin dropped

    for argv, stdin in ((["--value", out.strip()], b""), ([], out.encode())):
        assert run(capsys, monkeypatch, ["decrypt", "--key-file", str(key), *argv], stdin)[:2] == (0, text + "\n")

    code, out, _ = run(capsys, monkeypatch, ["encrypt", "--key-file", str(key), "--text", " keep\n"])
    altered = bytearray(base64.b64decode(out))
    assert Crypto(key).decrypt(bytes(altered)) == " keep\n"  # --text taken as given
    altered[-1] ^= 1
    code, out, err = run(capsys, monkeypatch, ["decrypt", "--key-file", str(key),
                                               "--value", base64.b64encode(altered).decode()])
    assert code == 1 and "密钥不匹配" in one_line_error(out, err)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o277], ids=oct)  # as usual, private, narrower than 0700
def test_encrypt_makes_the_missing_folders_of_the_key_file_private(capsys, monkeypatch, tmp_path, umask):
    home = tmp_path / "home"
    home.mkdir()
    home.chmod(0o751)  # a folder that exists keeps its mode
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(tmp_path)
    key = "~/.zentrik/keys/credential.key"  # quoted, as the shell would leave it
    old = os.umask(umask)
    try:
        code, out, err = run(capsys, monkeypatch, ["encrypt", "--key-file", key, "--text", "secret"])
    finally:
        os.umask(old)
    assert (code, err) == (0, "")
    modes = [stat.S_IMODE(p.stat().st_mode) for p in (home, home / ".zentrik", home / ".zentrik" / "keys")]
    assert modes == [0o751, 0o700, 0o700]
    assert sorted(os.listdir(tmp_path)) == ["home"]  # no folder named "~"
    assert run(capsys, monkeypatch, ["decrypt", "--key-file", key, "--value", out.strip()])[:2] == (0, "secret\n")


# The front in a child whose stdin, stdout and stderr are a terminal that is
# also its controlling one (which getpass opens as /dev/tty).
AT_A_TERMINAL = """if True:
    import fcntl, sys, termios
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    from zentrik_native.cli import main
    sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("typed", ["s3cret 密码", ""])
def test_encrypt_at_a_terminal_prompts_and_reads_without_echo(tmp_path, typed):
    from zentrik.auth.storage.crypto import Crypto

    key = tmp_path / "credential.key"
    try:
        terminal, child_end = os.openpty()
    except OSError as exc:  # a machine (or chroot) without pseudo-terminals
        pytest.skip(f"no pseudo-terminal: {exc}")
    child = subprocess.Popen([sys.executable, "-c", AT_A_TERMINAL, "encrypt", "--key-file", str(key)],
                             stdin=child_end, stdout=child_end, stderr=child_end, start_new_session=True)
    os.close(child_end)
    seen = b""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and select.select([terminal], [], [], deadline - time.monotonic())[0]:
        try:
            chunk = os.read(terminal, 4096)
        except OSError:  # EIO: the child has closed the terminal
            break
        seen += chunk
        if seen.endswith(b"Credential to encrypt: "):
            os.write(terminal, typed.encode() + b"\n")
    os.close(terminal)
    code = child.wait(timeout=60)
    prompt, *lines = seen.decode().replace("\r", "").split("\n")
    assert prompt == "Credential to encrypt: "  # nothing typed shows
    if typed:
        assert (code, len(lines)) == (0, 2)
        assert Crypto(key).decrypt(base64.b64decode(lines[0])) == typed
    else:
        assert (code, lines[0]) == (1, "zentrik-sellersprite: error: nothing to encrypt: the credential text is empty")
        assert not key.exists()


def test_help_returns_instead_of_exiting(capsys):
    assert cli.main(["payload", "--help"]) == 0
    assert "market-research" in capsys.readouterr().out


def test_version_is_the_distributions(capsys):
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr().out == f"zentrik-sellersprite {metadata.version('zentrik-native')}\n"


def test_module_runs_as_a_program(tmp_path):
    command = [sys.executable, "-m", "zentrik_native"]
    done = subprocess.run([*command, "payload", "keyword-miner", "keyword=蒜泥器"],
                          capture_output=True, text=True, encoding="utf-8", timeout=60)
    assert done.returncode == 0, done.stderr
    assert printed(done.stdout)[0] == payloads.make_keyword_miner_payload({"keyword": "蒜泥器"})
    done = subprocess.run([*command, "payload", "nope"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    one_line_error(done.stdout, done.stderr)
    # Without a file descriptor 0 at all.
    done = subprocess.run(["sh", "-c", 'exec "$0" -m zentrik_native encrypt --key-file "$1" 0<&-', sys.executable,
                           str(tmp_path / "key")], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "stdin is closed" in one_line_error(done.stdout, done.stderr)


# Ordinary failures of stdout, as a shell sets them up; `--text` keeps stdin out of it.
ENCRYPT = ["encrypt", "--key-file", "KEY", "--text", "s3cret"]


@pytest.mark.parametrize("redirect, reason", [(">/dev/full", "No space left on device"), (">&-", "stdout is closed")])
@pytest.mark.parametrize("argv, what", [
    (["payload", "keyword-miner", "keyword=x"], "the result"),
    (ENCRYPT, "the encrypted credential"),
    (["payload", "--help"], "the help"),
])
def test_output_that_cannot_be_written_is_one_line_and_exit_1(tmp_path, redirect, reason, argv, what):
    argv = [str(tmp_path / "key") if a == "KEY" else a for a in argv]
    done = subprocess.run(["sh", "-c", f'exec "$0" -m zentrik_native "$@" {redirect}', sys.executable, *argv],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=60)
    assert done.returncode == 1
    line = one_line_error("", done.stderr)
    assert f"cannot write {what}" in line and reason in line
    if argv is not ENCRYPT:
        return
    # The encrypted value is gone with the failed write: the line says so.
    assert "encrypt the text again" in line


def test_decrypt_catches_the_modules_own_invalid_tag_without_cryptography(tmp_path):
    code = """if 1:
        import sys
        sys.modules["cryptography"] = None  # as where it cannot be imported
        from zentrik_native import cli
        sys.exit(cli.main(sys.argv[1:]))
    """
    key = str(tmp_path / "key")
    made = subprocess.run([sys.executable, "-c", code, "encrypt", "--key-file", key, "--text", "s3cret"],
                          capture_output=True, text=True, timeout=60, check=True)
    value = bytearray(base64.b64decode(made.stdout))
    for tampered, code_, out in [(False, 0, "s3cret\n"), (True, 1, "")]:
        value[-1] ^= tampered
        done = subprocess.run([sys.executable, "-c", code, "decrypt", "--key-file", key, "--value",
                               base64.b64encode(value).decode()], capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout) == (code_, out), done.stderr
        assert done.stderr == ("" if not tampered else f"zentrik-sellersprite: error: {cli.INVALID_TAG_MESSAGE}\n")


# What a start of the command line must not import (each costs milliseconds
# of a run of a few tens of them); asyncio and the categories module only
# when there is category text to resolve.
HEAVY = {"asyncio", "importlib.metadata", "shutil", "pathlib", "typing", "difflib", "getpass", "base64",
         "zentrik.seller_sprite.api.categories", "cryptography"}


@pytest.mark.parametrize("argv, needed", [
    (["payload", "competitor-lookup", "market=us", "asins=B07YRMT36L"], set()),
    # the offline client reads its sample tree with importlib.resources (which imports
    # importlib.metadata itself on 3.13)
    (["payload", "competitor-lookup", "node=Cookware"], HEAVY - {"cryptography", "getpass"}),
    # pathlib: Crypto holds its key path as a pathlib.Path (loading the module no longer imports it)
    (["encrypt", "--key-file", "KEY", "--text", "s3cret"], {"base64", "pathlib"}),
])
def test_a_run_imports_only_what_it_uses(tmp_path, argv, needed):
    code = """if 1:
        import sys
        from zentrik_native import cli
        code = cli.main(sys.argv[1:])
        print(" ".join(sorted(sys.modules)))
        sys.exit(code)
    """
    argv = [str(tmp_path / "key") if a == "KEY" else a for a in argv]
    done = subprocess.run([sys.executable, "-I", "-c", code, *argv], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert HEAVY & set(done.stdout.splitlines()[-1].split()) <= needed
