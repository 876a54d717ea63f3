"""Command-line front of the SellerSprite payloads, category resolution and
credential encryption, standing in for the host tool.

Run as ``python -m zentrik_native`` or ``zentrik-sellersprite``::

    zentrik-sellersprite payload competitor-lookup market=us asins=B07YRMT36L,B08N5WRWNW
    zentrik-sellersprite payload product-research --json options.json
    echo 'secret' | zentrik-sellersprite encrypt --key-file ~/.zentrik/credential.key
    echo '<base64>' | zentrik-sellersprite decrypt --key-file ~/.zentrik/credential.key

Exit status: 0 on success; 2 when the command line itself is wrong (unknown
command or scenario, a malformed or repeated ``key=value``, an option key
that the scenario does not read, a missing argument); 1 when the command
fails (unreadable or invalid input, category text that names no category or
several, a key file that can't be used, a value that does not decrypt).
Every error is one line on stderr (unknown option keys: one line each).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

# Start-up time is most of what a run of this command costs: what only one
# command or one error needs (asyncio, the categories module, base64,
# getpass, difflib, the package metadata) is imported where it is used, and
# typing only by type checkers.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Any, Callable, NoReturn, Sequence

    from _typeshed import SupportsWrite

PROG = "zentrik-sellersprite"

# Scenario name -> name of its builder in the payloads module.
BUILDERS: dict[str, str] = {
    "competitor-lookup": "make_competitor_payload",
    "product-research": "make_product_research_payload",
    "keyword-miner": "make_keyword_miner_payload",
    "keyword-reverse": "make_keyword_reverse_payload",
    "traffic-source": "make_traffic_source_payload",
    "market-research": "make_market_research_payload",
}

# The option names that may carry category text, in the resolver's order.
CATEGORY_KEYS = ("nodeIdPaths", "nodeIdPath", "node", "category")


def _min_max(*names: str) -> tuple[str, ...]:
    """The pair minX, maxX of each name X."""
    return tuple(f"{end}{name}" for name in names for end in ("min", "max"))


# The option names each scenario's builder reads (tests/test_cli.py checks
# these against the builders themselves): any other key of a scenario's
# options is a mistake of the user's. A category key counts only where the
# builder reads it; elsewhere its resolved text would go nowhere.
_MARKET = ("market", "site")
_PAGING = ("page", "startPage", "size", "pageSize")
_KEYWORD_MONTH = ("historyDate", "month", "monthName")
KNOWN_OPTIONS: dict[str, frozenset[str]] = {
    "competitor-lookup": frozenset({
        *_MARKET, *_PAGING, "month", "period", "monthName", "asins", "node", "nodeIdPaths",
        "orderField", "orderDesc", "lowPrice", "keywords", "keyword", "brand", "sellerName",
    }),
    "product-research": frozenset({
        *_MARKET, *_PAGING, "month", "period", "monthName", "node", "category", "nodeIdPaths",
        "orderField", "orderDesc", "selectType", "filterSub", "weightUnit", "smallAndLight", "lowPrice",
        "putawayMonth", "video", "matchType",
        # list filters and the badges that become product tags
        "productTags", "sellerTypes", "eligibility", "pkgDimensionTypeList", "sellerNationList",
        "badgeBS", "badgeAC", "badgeNR",
        "keyword", "keywords", "includeBrands", "excludeBrands", "includeSellers", "excludeSellers",
        "outOfKeywords",
        # the recommendation preset
        "recommendationMode", "recommendMode", "presetMode", "productMode", "mode", "推荐模式",
        # range filters, with the second names of eight of them
        *_min_max("Price", "Sales", "Amount", "AmzUnit", "TotalUnitsGrowth", "Ranking", "SubBsrRank",
                  "RankingCv", "RankingCr", "Variations", "Questions", "ReviewsGrouth", "ReviewsRate", "Profit",
                  "Reviews", "ReviewRating", "Fba", "Weights", "DeliveryPrice", "Sellers"),
        "lqsFrom", "lqsTo", "priceMin", "priceMax", "salesMin", "salesMax", "reviewsMin", "reviewsMax",
        "ratingMin", "ratingMax",
        # the open API's names of web-form fields
        *_min_max("Units", "Revenue", "UnitsCr", "Ratings", "RatingsCv", "Star", "Bsr", "BsrCv", "BsrCr", "Lqs"),
        "availableMonth", "fulfillment", "dimensionType", "sellerNation", "variation", "excludeKeywords",
    }),
    "keyword-miner": frozenset({
        *_MARKET, *_KEYWORD_MONTH, "keyword", "q", "marketId", "pageNum", "page", "startPage", "pageSize",
        "size", "orderBy", "desc", "filterRootWord", "rootWord", "filterRootWordEnabled", "matchType",
        "amazonChoice", "keywordBidMatchType", "includeHighFrequency", "groupNum",
    }),
    "keyword-reverse": frozenset({
        *_MARKET, *_KEYWORD_MONTH, "asin", "q", "marketId", "limit", "size", "pageSize", "page", "pageNum",
        "startPage", "skip", "badges", "conversionKeywordTypes", "trafficKeywordTypes", "order", "desc",
        "exactly", "keywordBidMatchType", "filterDeletedKeywords",
    }),
    "traffic-source": frozenset({
        *_MARKET, *_KEYWORD_MONTH, "keywordOrAsin", "keyword", "asin", "asins", "q", "pageNo", "page",
        "startPage", "pageSize", "size", "order", "desc",
    }),
    "market-research": frozenset({
        *_MARKET, *_PAGING, "month", "period", "monthName", "marketId", "nodeIdPath", "node", "category",
        "sampleNumber", "topn", "topN", "topNSelect", "newReleaseNum", "newReleaseMonths", "newProductMonths",
        "newRelease", "newReleaseNumSelect", "orderField", "order.field", "orderDesc", "order.desc", "tab",
        "departmentKeyword", "keyword",
        # the form's hidden fields
        *_min_max("AvgSales", "AvgBsr", "AvgWeight", "HeadListingAvgBsr", "TotalProducts", "AvgRevenue",
                  "AvgPrice", "AvgVolume", "HeadListingAvgSales", "AvgReviews", "AvgRating", "AvgProfit",
                  "HeadListingAvgRevenue", "Brands", "HeadListingProductCrn", "EbcRatio", "AmzRatio", "Sellers",
                  "HeadListingBrandCrn", "FbaRatio", "AvgSellers", "HeadListingSellerCrn", "FbmRatio", "NewRatio",
                  "NewAvgPrice", "NewAvgRevenue", "NewCount", "NewAvgRating", "NewAvgReviews", "NewAvgSales"),
        "sellerNations",
    }),
}

# An encrypted value is the 12-byte nonce, the ciphertext and the 16-byte tag.
NONCE_SIZE = 12
TAG_SIZE = 16

INVALID_TAG_MESSAGE = "密钥不匹配或数据被篡改 (the key does not match or the data was altered)"


class UsageError(Exception):
    """The command line is wrong: exit status 2. Each argument is one line of the report."""


class Failure(Exception):
    """The command ran and failed: exit status 1."""


def _columns() -> int:
    """The width of the terminal as shutil.get_terminal_size() finds it, without
    importing shutil (with its archive modules) for every parser argparse makes."""
    try:
        columns = int(os.environ.get("COLUMNS", "0"))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class _HelpFormatter(argparse.HelpFormatter):
    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line and never print usage."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("formatter_class", _HelpFormatter)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: error: {message} (see --help)")

    def print_help(self, file: SupportsWrite[str] | None = None) -> None:
        # argparse's own writer drops a failed write (a long help is written
        # past the buffer at once), so that --help on a full disk exited 0.
        if file is not None:
            super().print_help(file)
            return
        _write_line(self.format_help().rstrip("\n"), "the help")


class _Version(argparse.Action):
    """--version: reads the installed version only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show the program's version and exit") -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from zentrik_native import __version__

        _write_line(f"{parser.prog} {__version__}")
        parser.exit()


# Above this an indent is a mistake, and far above it one that cannot be allocated.
MAX_INDENT = 1000


def _indent(text: str) -> int:
    value = int(text)  # argparse words a ValueError as an invalid value
    if value > MAX_INDENT:
        raise argparse.ArgumentTypeError(f"{value} is too large (at most {MAX_INDENT})")
    return value


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Build SellerSprite payloads and referers, and encrypt or decrypt stored credentials.",
        epilog="Exit status: 0 success, 1 failure, 2 wrong command line; errors are one line on stderr.",
    )
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    payload = commands.add_parser(
        "payload",
        help="build a scenario's payload and print it with its referer as JSON",
        description=(
            "Build the payload of SCENARIO from options and print one JSON object "
            '{"payload": ..., "referer": ...}. Options are key=value words (values stay text, '
            "as a shell gives them; a key given twice is an error) and/or a JSON object read "
            "with --json; key=value words override the JSON's entries of the same name. A key "
            "that SCENARIO does not read is an error (a warning with --allow-unknown). "
            'Category text (under "nodeIdPaths", "nodeIdPath", "node" or "category") is turned '
            "into node-id paths through the offline sample category tree unless --no-resolve "
            "is given."
        ),
    )
    payload.add_argument("scenario", metavar="SCENARIO", choices=list(BUILDERS),
                         help="one of: " + ", ".join(BUILDERS))
    payload.add_argument("options", metavar="KEY=VALUE", nargs="*",
                         help="an option; the value is taken as text")
    payload.add_argument("--json", metavar="FILE", dest="json_file",
                         help="read options from a JSON object in FILE ('-' for stdin)")
    payload.add_argument("--no-resolve", action="store_true",
                         help="leave category text as given instead of resolving it")
    payload.add_argument("--allow-unknown", action="store_true",
                         help="warn about option keys that SCENARIO does not read, instead of refusing them")
    payload.add_argument("--site", default="US",
                         help="market for the category lookup when the options name none "
                              "(no 'market' or 'site'); default %(default)s")
    payload.add_argument("--period", default="nearly",
                         help="month for the category lookup when the options carry no 'month' "
                              "(2026-03, 202604, or 30d/nearly/latest30/last30); default %(default)s")
    payload.add_argument("--indent", type=_indent, default=None, metavar="N",
                         help=f"indent the JSON by N spaces, at most {MAX_INDENT} (default: one line)")
    payload.set_defaults(run=_run_payload)

    encrypt = commands.add_parser(
        "encrypt",
        help="encrypt a credential; prints it base64-encoded",
        description=(
            "Encrypt credential text under the key in KEY_FILE (created, mode 0600, when it does "
            "not exist, with any missing folders above it, mode 0700) and print the encrypted "
            "value base64-encoded. The text is --text or, without it, stdin: typed at a "
            "terminal after a prompt, without echo, or else read to its end (UTF-8) less one "
            "trailing line ending. Empty text is refused."
        ),
    )
    encrypt.add_argument("--key-file", required=True, metavar="PATH", help="the key file")
    encrypt.add_argument("--text", help="the credential text (default: read stdin, or prompt at a terminal)")
    encrypt.set_defaults(run=_run_encrypt)

    decrypt = commands.add_parser(
        "decrypt",
        help="decrypt a base64-encoded credential; prints the text",
        description=(
            "Decrypt a base64-encoded value made by 'encrypt' under the key in KEY_FILE (which "
            "must exist) and print the credential text. The value is --value or, without it, stdin."
        ),
    )
    decrypt.add_argument("--key-file", required=True, metavar="PATH", help="the key file")
    decrypt.add_argument("--value", help="the base64-encoded value (default: read stdin)")
    decrypt.set_defaults(run=_run_decrypt)
    return parser


# ---------------------------------------------------------------- input

def _read_stdin_text(instead: str) -> str:
    """All of stdin as text; `instead` names what to give when stdin is closed."""
    stdin = sys.stdin
    if stdin is None:  # the interpreter started without a file descriptor 0 (`0<&-`)
        raise Failure(f"stdin is closed; give {instead}")
    try:
        buffer = getattr(stdin, "buffer", None)
        if buffer is None:  # a replaced stdin without bytes underneath
            return stdin.read()
        data: bytes = buffer.read()
    except (OSError, ValueError) as exc:  # a folder, a closed file
        raise Failure(f"cannot read stdin: {getattr(exc, 'strerror', None) or exc}") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise Failure(f"stdin is not UTF-8 text ({exc.reason} at byte {exc.start})") from None


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def _finite_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise ValueError(f"number {text} is too large")
    return value


def _load_json_options(source: str) -> dict[str, Any]:
    where = "stdin" if source == "-" else source
    if source == "-":
        text = _read_stdin_text("a file name to --json")
    else:
        try:
            with open(source, "rb") as file:
                text = file.read().decode("utf-8-sig")
        except OSError as exc:
            raise Failure(f"cannot read {where}: {exc.strerror or exc}") from None
        except UnicodeDecodeError as exc:
            raise Failure(f"{where} is not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    try:
        # NaN, Infinity and numbers beyond a float are refused: the payload
        # printed from these options has to be JSON again.
        options = json.loads(text, parse_constant=_reject_constant, parse_float=_finite_float)
    except ValueError as exc:  # JSONDecodeError included
        raise Failure(f"{where} is not valid JSON: {exc}") from None
    except RecursionError:
        raise Failure(f"{where} nests its values too deeply") from None
    if not isinstance(options, dict):
        raise Failure(f"{where} must hold a JSON object of options, not {_json_kind(options)}")
    return options


def _json_kind(value: Any) -> str:
    kinds = {list: "an array", str: "a string", bool: "a boolean", int: "a number",
             float: "a number", type(None): "null"}
    return kinds.get(type(value), type(value).__name__)


def _parse_pairs(words: Sequence[str]) -> dict[str, str]:
    options: dict[str, str] = {}
    for word in words:
        key, sep, value = word.partition("=")
        if not sep or not key:
            raise UsageError(f"{PROG} payload: error: malformed option {word!r}: expected KEY=VALUE")
        if key in options:
            raise UsageError(f"{PROG} payload: error: option {key!r} given twice")
        options[key] = value
    return options


# ---------------------------------------------------------------- commands

def _resolve_categories(options: dict[str, Any], scenario: str, site: str, period: str) -> dict[str, Any]:
    # Options without a category key are left as they are (as the resolver
    # leaves them): neither the categories module nor asyncio is needed.
    if not any(key in options for key in CATEGORY_KEYS):
        return options
    import asyncio

    from zentrik_native import standins

    # Without the host tool, the categories module binds the stand-in's error.
    standins.ensure()
    try:
        # The categories module binds the host's error class (or the stand-in's):
        # take it from there, typed by the module's stub.
        from zentrik.seller_sprite.api.categories import SellerSpriteCategoryResolver, SellerSpriteConfigError

        from zentrik_native.sample_client import OfflineCategoryClient
    except ImportError as exc:
        # Without the categories module (a build of fewer modules) options
        # without category text still make their payload.
        if not any(options.get(key) for key in CATEGORY_KEYS):
            return options
        raise Failure(f"category resolution is not available ({exc}); use --no-resolve") from None

    resolver = SellerSpriteCategoryResolver(OfflineCategoryClient())
    try:
        resolved: dict[str, Any] = asyncio.run(
            resolver.resolve_params(options, scenario=scenario, site=site, period=period))
    except SellerSpriteConfigError as exc:
        raise Failure(str(exc)) from None
    except (TypeError, ValueError, OverflowError, RecursionError) as exc:
        raise Failure(f"cannot resolve the category: {exc}") from None
    return resolved


def _nearest_key(key: str, known: frozenset[str]) -> str | None:
    """The known key that `key` most likely stands for, if any: one that
    differs only in letter case, else the closest by difflib's measure; for
    category text under a key the builder does not read, the first category
    key (in the resolver's order) that it does read."""
    import difflib

    folded = {name.casefold(): name for name in sorted(known)}
    close = difflib.get_close_matches(key.casefold(), folded, n=1, cutoff=0.8)
    if close:
        return folded[close[0]]
    if key in CATEGORY_KEYS:
        return next((name for name in CATEGORY_KEYS if name in known), None)
    return None


def _check_keys(keys: Sequence[str], scenario: str, allow_unknown: bool) -> None:
    """Refuse (or, with --allow-unknown, warn about) the keys that the
    scenario's builder does not read, one line each."""
    known = KNOWN_OPTIONS[scenario]
    lines = []
    for key in keys:
        if key in known:
            continue
        line = f"unknown option {key!r} for {scenario}"
        nearest = _nearest_key(key, known)
        lines.append(f"{line}; did you mean {nearest!r}?" if nearest else line)
    if lines and not allow_unknown:
        raise UsageError(*(f"{PROG} payload: error: {line}" for line in lines))
    for line in lines:
        _report(f"{PROG} payload: warning: {line}", sys.stderr)


def _run_payload(args: argparse.Namespace) -> None:
    from zentrik.seller_sprite.api import payloads

    options: dict[str, Any] = {}
    if args.json_file is not None:
        options.update(_load_json_options(args.json_file))
    options.update(_parse_pairs(args.options))
    given = list(options)
    # Category text is looked up first, as it always was (a lookup that fails
    # is reported as such); the keys are checked before anything is built.
    if not args.no_resolve:
        options = _resolve_categories(options, args.scenario, args.site, args.period)
    _check_keys(given, args.scenario, args.allow_unknown)

    builder: Callable[[dict[str, Any]], dict[str, Any]] = getattr(payloads, BUILDERS[args.scenario])
    try:
        payload = builder(options)
        referer = payloads.build_referer(payload, args.scenario)
    except (TypeError, ValueError, OverflowError, RecursionError) as exc:
        raise Failure(f"cannot build the {args.scenario} payload: {exc}") from None
    try:
        text = json.dumps({"payload": payload, "referer": referer},
                          ensure_ascii=False, allow_nan=False, indent=args.indent)
    except (TypeError, ValueError, RecursionError) as exc:
        raise Failure(f"the payload can't be written as JSON: {exc}") from None
    _write_line(text)


def _key_path(key_file: str) -> str:
    # `~` is expanded here too: a quoted '~/.zentrik/credential.key' reaches
    # us as it was typed, and would otherwise make a folder named `~`.
    return os.path.expanduser(key_file)


def _make_key_folders(key_file: str) -> None:
    """Create the folders above the key file that do not exist yet, each with
    mode 0700 whatever the umask; a folder that exists is left as it is."""
    missing = []
    folder = os.path.dirname(_key_path(key_file))
    while folder and not os.path.lexists(folder):  # "/" and "" (the working folder) end it
        missing.append(folder)
        folder = os.path.dirname(folder)
    for folder in reversed(missing):
        try:
            os.mkdir(folder, 0o700)
        except FileExistsError:
            if os.path.isdir(folder):
                continue  # made meanwhile by someone else: theirs to keep as it is
            raise Failure(f"cannot create folder {folder} for key file {key_file}: it is not a folder") from None
        except OSError as exc:
            raise Failure(f"cannot create folder {folder} for key file {key_file}: {exc.strerror or exc}") from None
        try:
            os.chmod(folder, 0o700)  # the umask filtered the mode mkdir was given
        except OSError as exc:
            raise Failure(f"cannot make folder {folder} private: {exc.strerror or exc}") from None


def _crypto(key_file: str) -> Any:
    from zentrik.auth.storage.crypto import Crypto

    try:
        return Crypto(_key_path(key_file))
    except OSError as exc:
        raise Failure(f"cannot use key file {key_file}: {exc.strerror or exc}") from None


def _on_terminal(stream: IO[str] | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):  # closed
        return False


def _credential_text(args: argparse.Namespace) -> str:
    if args.text is not None:
        text: str = args.text
    elif _on_terminal(sys.stdin):
        # Typed at a terminal: prompt on it and read without echo.
        import getpass

        try:
            text = getpass.getpass("Credential to encrypt: ")
        except EOFError:  # Ctrl-D
            text = ""
    else:
        text = _read_stdin_text("the text with --text")
        # `echo secret |` adds a line ending that is not part of the credential.
        if text.endswith("\r\n"):
            text = text[:-2]
        elif text.endswith("\n"):
            text = text[:-1]
    if not text:
        raise Failure("nothing to encrypt: the credential text is empty")
    return text


def _run_encrypt(args: argparse.Namespace) -> None:
    import base64

    text = _credential_text(args)
    _make_key_folders(args.key_file)
    crypto = _crypto(args.key_file)
    try:
        value = crypto.encrypt(text)
    except UnicodeEncodeError:
        raise Failure("the text is not valid Unicode (it holds undecodable bytes)") from None
    except ValueError as exc:
        raise Failure(f"cannot encrypt with key file {args.key_file}: {exc}") from None
    # The key file is in place by now; what is lost when the value cannot be
    # written is this one value, and the message says so.
    _write_line(base64.b64encode(value).decode("ascii"), "the encrypted credential",
                "it is not stored anywhere else; encrypt the text again")


def _run_decrypt(args: argparse.Namespace) -> None:
    import base64
    import binascii

    # The module's InvalidTag names whichever class it raises (cryptography's,
    # or its own stand-in where cryptography cannot be imported).
    from zentrik.auth.storage import crypto as crypto_module

    encoded = args.value if args.value is not None else _read_stdin_text("the value with --value")
    # Line breaks and spaces around or inside the value (wrapped base64) are dropped.
    encoded = "".join(encoded.split())
    if not encoded:
        raise Failure("no value to decrypt")
    try:
        value = base64.b64decode(encoded.encode("ascii"), validate=True)
    except (UnicodeEncodeError, binascii.Error):
        raise Failure("the value is not valid base64") from None
    # A key file made now could never decrypt anything: refuse instead of creating one.
    if not os.path.exists(_key_path(args.key_file)):
        raise Failure(f"key file not found: {args.key_file}")
    if len(value) < NONCE_SIZE + TAG_SIZE:
        raise Failure("not an encrypted value: too short")
    crypto = _crypto(args.key_file)
    try:
        text = crypto.decrypt(value)
    except crypto_module.InvalidTag:
        raise Failure(INVALID_TAG_MESSAGE) from None
    except UnicodeDecodeError:
        raise Failure("the decrypted value is not UTF-8 text") from None
    except ValueError as exc:
        raise Failure(f"cannot decrypt: {exc}") from None
    _write_line(text)


# ---------------------------------------------------------------- output

def _one_line(message: str) -> str:
    return " ".join(message.split())


def _write_line(text: str, what: str = "the result", lost: str = "") -> None:
    """Write one line to stdout, flushed, so that a failure is this command's
    to report; `lost` says what the user has lost when it fails."""
    stdout = sys.stdout
    if stdout is None:  # started with file descriptor 1 closed (`>&-`): print would drop the text
        raise Failure(f"cannot write {what}: stdout is closed" + (f"; {lost}" if lost else ""))
    try:
        print(text, file=stdout)
    except UnicodeEncodeError as exc:
        # Lone surrogates (from JSON escapes), or a stdout whose encoding lacks a character.
        raise Failure(f"{what} can't be written to stdout ({exc.encoding}: {exc.reason})") from None
    except (OSError, ValueError) as exc:
        _stdout_failed(what, lost, exc)
    _flush_stdout(what, lost)


def _flush_stdout(what: str, lost: str = "") -> None:
    if sys.stdout is None:
        return
    try:
        sys.stdout.flush()
    except (OSError, ValueError) as exc:
        _stdout_failed(what, lost, exc)


def _stdout_failed(what: str, lost: str, exc: Exception) -> NoReturn:
    if isinstance(exc, BrokenPipeError):
        raise exc  # the reader went away: main's quiet exit
    # A full disk, an I/O error, a closed stream.
    _discard_stdout()
    reason = getattr(exc, "strerror", None) or exc
    raise Failure(f"cannot write {what} to stdout: {reason}" + (f"; {lost}" if lost else "")) from None


def _discard_stdout() -> None:
    """Point file descriptor 1 at the null device, so that the interpreter's
    flush of what is still buffered at exit neither fails nor complains."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _report(message: str, stream: IO[str] | None) -> None:
    if stream is None:  # stderr closed: print would write to stdout instead
        return
    try:
        print(_one_line(message), file=stream, flush=True)
    except (OSError, ValueError):
        pass  # nowhere left to say it; the exit status still does


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    try:
        return _run(argv)
    except UsageError as exc:
        for line in exc.args:
            _report(str(line), sys.stderr)
        return 2
    except Failure as exc:
        _report(f"{PROG}: error: {exc}", sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`| head`); keep the interpreter from complaining at exit.
        _discard_stdout()
        return 1
    except KeyboardInterrupt:
        return 130


def _run(argv: Sequence[str] | None) -> int:
    parser = _build_parser()
    try:
        args, extras = parser.parse_known_args(argv)
        # argparse stops filling KEY=VALUE words at the first flag; the
        # words after a flag come back here and join the others in order.
        if extras and args.command == "payload" and not any(e.startswith("-") for e in extras):
            args.options.extend(extras)
        elif extras:
            parser.error(f"unrecognized arguments: {' '.join(extras)}")
        args.run(args)
    except SystemExit as exc:  # --help, --version: each wrote and flushed its own line
        return exc.code if isinstance(exc.code, int) else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
