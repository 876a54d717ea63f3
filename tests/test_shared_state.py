"""State that changes after load, reached by re-entrant Python code and by
other threads: the coercion memos and option tables, the resolver's cache and
memo, the coroutine's status, the published canonical labels, and the Crypto
object's key and contexts.

The thread tests mean most on a free-threaded build with the GIL off (the
free-threaded CI leg); with a GIL they still check that interleaved threads
give the single-threaded results.
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import CollidingKey, needs_cryptography

from zentrik.auth.storage import crypto
from zentrik.seller_sprite.api import categories, payloads

THREADS = 8
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def finish(coro):
    """Drive a coroutine that never suspends to its result."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def in_threads(work, n=THREADS):
    """work(i) in n threads started together; their results in order."""
    barrier = threading.Barrier(n)

    def run(i):
        barrier.wait()
        return work(i)

    with ThreadPoolExecutor(n) as pool:
        return list(pool.map(run, range(n)))


def child(code, env=None):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=300, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout


class Client:
    """Answers every request at once, with one node per label it is asked for."""

    def __init__(self):
        self.requests = 0
        self.lock = threading.Lock()  # += alone loses counts between threads without a GIL

    async def category_nodes(self, *, market_id, table, node_id_path, node_label_path):
        with self.lock:
            self.requests += 1
        label = node_label_path or "root"
        return {"items": [{"id": f"{market_id}{len(label)}", "nodeLabel": label, "nodeLabelPath": label}]}


# --- payloads: memos and option tables -------------------------------------------------


def test_csv_memo_turned_over_by_the_collector_mid_call():
    # Making the list may run the collector (3.10, 3.11): a callback that
    # calls csv() with other texts turns the memo over meanwhile.
    assert payloads.csv("alpha,beta") == ["alpha", "beta"]
    busy = []

    def callback(phase, info):
        if phase == "start" and not busy:
            busy.append(1)
            for i in range(8):
                payloads.csv(f"x{i},y{i}")
            busy.clear()

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        results = [payloads.csv("alpha,beta") for _ in range(50)]
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert results == [["alpha", "beta"]] * 50


def test_coercions_over_more_texts_than_a_memo_holds_in_threads():
    texts = [f"{m:02d}, B{m}X ,, c{m}" for m in range(1, 40)]
    months = [f"2026-{m % 12 + 1:02d}" for m in range(40)]
    expect = ([payloads.csv(t) for t in texts], [payloads.month_name(m) for m in months],
              [payloads.history_date(m) for m in months])

    def work(i):
        out = None
        for _ in range(30):
            out = ([payloads.csv(t) for t in texts], [payloads.month_name(m) for m in months],
                   [payloads.history_date(m) for m in months])
        return out

    assert in_threads(work) == [expect] * THREADS


def test_the_memos_let_go_of_the_texts_of_a_thread_that_ended():
    # Made at run time, so that their references are counted.
    text, month = "".join(["zz", "9, y"]), "".join(["2031", "-07"])
    before = sys.getrefcount(text), sys.getrefcount(month)

    def remember(t, m):
        payloads.csv(t), payloads.month_name(m), payloads.history_date(m)

    thread = threading.Thread(target=remember, args=(text, month))
    thread.start()
    thread.join()
    if not FREE_THREADED:  # one set of memos, which later texts turn over
        for i in range(8):
            remember(f"t{i}", f"2030-{i + 1:02d}")
    assert (sys.getrefcount(text), sys.getrefcount(month)) == before


def test_builders_read_an_option_map_another_thread_changes():
    # The keys the builders read stay as they are; the others come and go,
    # so the map is resized under the builders' walks.
    options = {"market": "us", "asins": "B07YRMT36L, B08N5WRWNW", "page": 2, "month": "202604"}
    expect = payloads.make_competitor_payload(dict(options)), payloads.build_referer(
        payloads.make_competitor_payload(dict(options)), "competitor-lookup")
    stop = threading.Event()

    def mutate():
        i = 0
        while not stop.is_set():
            options[f"other{i % 50}"] = i
            if i % 50 == 49:
                for k in [k for k in list(options) if k.startswith("other")]:
                    options.pop(k, None)
            i += 1

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        got = in_threads(lambda i: [(payloads.make_competitor_payload(options),
                                     payloads.build_referer(payloads.make_competitor_payload(options),
                                                            "competitor-lookup")) for _ in range(300)])
    finally:
        stop.set()
        mutator.join()
    assert all(r == expect for rows in got for r in rows)


# --- categories: the resolver's cache and memo, nodes, the coroutine ---------------------


def test_resolver_memo_replaced_by_a_cache_key_eq_mid_lookup():
    # Looking up the cache runs a colliding key's __eq__, which resolves
    # another market on the same resolver and so replaces the memo whose
    # entry the lookup came from (read after it was freed, the sanitizer run
    # reports it).
    resolver = categories.SellerSpriteCategoryResolver(Client())

    def resolve(market):
        return finish(resolver.resolve("Kitchen", market=market, table="t"))

    first = resolve(1)
    assert resolve(1) == first and resolve(2) == resolve(2)  # both cached; market 2's in the memo
    assert resolve(1) == first  # and now market 1's
    key = next(k for k in resolver._cache if k.startswith("1:"))
    nested = []
    cache = dict(resolver._cache)
    resolver._cache.clear()
    resolver._cache[CollidingKey(key, lambda: nested or nested.append(resolve(2)))] = []
    resolver._cache.update(cache)
    assert (resolve(1), nested) == ("17", ["27"])


def test_suspended_resolve_params_shows_the_collector_only_whole_lists():
    class Pending:
        def __await__(self):
            yield "waiting"
            return {"items": [{"id": "9", "nodeLabel": "Toys", "nodeLabelPath": "Toys"}]}

    class SlowClient:
        def category_nodes(self, **kwargs):
            return Pending()

    coro = categories.SellerSpriteCategoryResolver(SlowClient()).resolve_params(
        {"node": "Toys, Games"}, scenario="product-research", site="US", period="2026-03")
    assert coro.send(None) == "waiting"
    # Reading a NULL slot would crash here.
    shown = [list(r) for r in gc.get_referents(coro) if isinstance(r, list)]
    assert [None, None] in shown and ["Toys", "Games"] in shown
    coro.close()


def test_one_resolver_in_threads_gives_the_single_threaded_paths():
    labels = [f"Label {i}" for i in range(40)]
    client = Client()
    resolver = categories.SellerSpriteCategoryResolver(client)
    expect = [finish(categories.SellerSpriteCategoryResolver(Client()).resolve(t, market=1, table="t"))
              for t in labels]

    def work(i):
        # Half the threads ask in another order; the first asks miss the cache.
        order = labels if i % 2 else labels[::-1]
        got = {t: finish(resolver.resolve(t, market=1, table="t")) for t in order * 3}
        params = finish(resolver.resolve_params({"node": ",".join(labels[:5])}, scenario="product-research",
                                                site="US", period="nearly"))
        return [got[t] for t in labels], params["node"]

    results = in_threads(work)
    assert all(paths == expect for paths, _ in results)
    assert len({tuple(node) for _, node in results}) == 1
    assert client.requests >= len(labels)


def test_node_equality_hash_and_matching_across_threads():
    nodes = [categories.CategoryNode(str(i), str(i), f"Label {i}", f"Root : Label {i}", False) for i in range(50)]
    twins = [categories.CategoryNode(n.id, n.node_id_path, n.label, n.label_path, n.has_children) for n in nodes]

    def work(i):
        return ([a == b and hash(a) == hash(b) for a, b in zip(nodes, twins)],
                [categories._exact_matches(f"root:label {k}", nodes) for k in range(i, 50, 7)])

    results = in_threads(work)
    assert all(all(eq) for eq, _ in results)
    assert all(m == [[nodes[k]] for k in range(i, 50, 7)] for i, (_, m) in enumerate(results))


def test_a_coroutine_sent_from_two_threads_runs_one_step():
    entered, release = threading.Event(), threading.Event()

    class Blocking:
        def __await__(self):
            yield "first"
            entered.set()
            release.wait(30)  # the second step holds the coroutine while the other thread sends
            yield "second"
            return {"items": []}

    class BlockingClient:
        def category_nodes(self, **kwargs):
            return Blocking()

    coro = categories.SellerSpriteCategoryResolver(BlockingClient())._nodes(market=1, table="t")
    assert coro.send(None) == "first"
    stepped = []
    driver = threading.Thread(target=lambda: stepped.append(coro.send(None)))
    driver.start()
    assert entered.wait(30)
    with pytest.raises(ValueError, match="^coroutine already executing$"):
        coro.send(None)
    assert coro.cr_running and coro.cr_await is None
    release.set()
    driver.join()
    assert stepped == ["second"]
    with pytest.raises(StopIteration):
        coro.send(None)


# --- crypto: the key, the contexts, the published InvalidTag -----------------------------


@pytest.mark.parametrize("size", [64, 100_000])
def test_one_crypto_shared_by_threads(tmp_path, size):
    shared = crypto.Crypto(tmp_path / "k")

    def work(i):
        texts = [f"{i}-{j}-" + "x" * size for j in range(40 if size > 1000 else 400)]
        values = [shared.encrypt(t) for t in texts]
        return values, [shared.decrypt(v) for v in values] == texts

    results = in_threads(work)
    assert all(ok for _, ok in results)
    nonces = [v[:12] for values, _ in results for v in values]
    assert len(set(nonces)) == len(nonces)


@needs_cryptography
def test_crypto_rekeyed_while_its_first_large_value_imports_aesgcm(tmp_path):
    # An import hook runs while the first large value imports cryptography's
    # AESGCM, and gives the object another key file: the value must be
    # encrypted under the key the object then reports.
    out = child(f"""
    import sys
    from zentrik.auth.storage.crypto import Crypto
    c = Crypto({str(tmp_path / 'old')!r})
    class Hook:
        def find_spec(self, name, path=None, target=None):
            if name.endswith("ciphers.aead") and self in sys.meta_path:
                sys.meta_path.remove(self)
                c.__init__({str(tmp_path / 'new')!r})
            return None
    sys.meta_path.insert(0, Hook())
    text = "x" * 200_000
    value = c.encrypt(text)
    assert c._key_path.name == "new" and Crypto(c._key_path).decrypt(value) == text
    assert c.decrypt(c.encrypt(text)) == text
    print("ok")
    """)
    assert out == "ok\n"


def test_one_invalid_tag_even_when_asked_for_while_it_is_looked_up():
    # cryptography cannot be imported here, and the blocked import itself
    # asks for the module's InvalidTag again.
    out = child("""
    import sys
    from zentrik.auth.storage import crypto
    seen = []
    class Block:
        busy = False
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] == "cryptography":
                if not self.busy:
                    self.busy = True
                    seen.append(crypto.InvalidTag)
                raise ImportError(name)
    sys.meta_path.insert(0, Block())
    import tempfile, os
    c = crypto.Crypto(os.path.join(tempfile.mkdtemp(), "k"))
    try:
        c.decrypt(bytes(40))
    except crypto.InvalidTag as exc:
        raised = type(exc)
    assert raised is crypto.InvalidTag is seen[0], (raised, crypto.InvalidTag, seen)
    print("ok")
    """)
    assert out == "ok\n"


@needs_cryptography
@pytest.mark.skipif(sys.version_info >= (3, 14), reason="run_in_subinterp is gone from _testcapi")
def test_a_legacy_subinterpreter_leaves_cryptography_to_the_main_one(tmp_path):
    _testcapi = pytest.importorskip("_testcapi")
    assert hasattr(_testcapi, "run_in_subinterp")
    sub = textwrap.dedent(f"""
        from zentrik.auth.storage import crypto
        try:
            crypto.Crypto({str(tmp_path / 'k')!r}).decrypt(bytes(40))
        except crypto.InvalidTag as exc:
            open({str(tmp_path / 'sub')!r}, 'w').write(type(exc).__module__)
        """)
    out = child(f"""
    import _testcapi
    assert _testcapi.run_in_subinterp({sub!r}) == 0
    from cryptography.exceptions import InvalidTag
    from zentrik.auth.storage import crypto
    try:
        crypto.Crypto({str(tmp_path / 'k')!r}).decrypt(bytes(40))
    except InvalidTag:
        print("main:", open({str(tmp_path / 'sub')!r}).read())
    """)
    assert out == "main: zentrik.auth.storage.crypto\n"


# --- the free-threaded build ----------------------------------------------------------


@pytest.mark.skipif(not FREE_THREADED, reason="a build with a GIL")
def test_importing_the_modules_leaves_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = child("""
    import sys, warnings
    warnings.simplefilter("error")
    from zentrik.seller_sprite.api import payloads, categories
    from zentrik.auth.storage import crypto
    print(sys._is_gil_enabled())
    """, env)
    assert out == "False\n"
