// SellerSpriteCategoryResolver: category text to node-id paths through the
// host's client, with a per-resolver cache of the client's answers.
//
// Each method checks its arguments when called and returns a coroutine object
// (common/coro/) whose C++ frame does the work when driven. A frame only
// suspends while awaiting the client; requests run one after another. An
// answer found in the cache is used without a request and without making a
// frame for the nested step, so a fully cached resolve_params finishes within
// its first send(None).
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "state.hpp"

namespace zk::categories {

using coro::Task;

namespace {

struct Resolver {
    PyObject_HEAD
    PyObject* client;
    PyObject* cache;  // dict: cache key -> list of CategoryNode
    // Labels already matched against cached answers, for one market and
    // table (see remembered()): the record (market, table, dict label ->
    // (cache key, list, its nodes, path)), replaced whole when the market or
    // table changes, and read and replaced under the resolver's lock.
    PyObject* memo;
    PyObject* weakrefs;
};

inline Resolver* as_resolver(PyObject* o) { return reinterpret_cast<Resolver*>(o); }

// The start of every cache key of one market and table: "market:table:".
Ref key_prefix(State& st, PyObject* market, PyObject* table) {
    Ref text = text_form(st.c, market);
    if (!text) return nullptr;
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(text.get())->tp_name);
        return nullptr;
    }
    return concat({text.get(), st.s[k_colon], table, st.s[k_colon]});
}

// Only a resolver torn down by the collector lacks these.
bool alive(Resolver* self) {
    if (self->cache && self->client) return true;
    PyErr_SetString(PyExc_RuntimeError, "the resolver has been cleared");
    return false;
}

// The client's answer for one cache key, as the cache holds it: a new
// reference, or an empty Ref on a miss (check PyErr_Occurred).
bool cached(Resolver* self, PyObject* key, Ref& out) {
    if (!alive(self)) return false;
    Ref cache = Ref::borrow(self->cache);  // a key's __eq__ may run any code
    return dict_get_ref(cache.get(), key, out) >= 0;
}

PyObject* call_client(State& st, Resolver* self, PyObject* market, PyObject* table, PyObject* node_id_path,
                      PyObject* node_label_path) {
    // Four named arguments in this order; empty paths are passed as None.
    PyObject* args[5] = {
        self->client,
        market,
        table,
        PyUnicode_GET_LENGTH(node_id_path) ? node_id_path : Py_None,
        PyUnicode_GET_LENGTH(node_label_path) ? node_label_path : Py_None,
    };
    return PyObject_VectorcallMethod(st.s[k_category_nodes], args, 1, st.client_kwnames);
}

// One request: await the client, parse its answer and store the nodes under
// `key`. An error, or an answer that is not a dict, stores nothing.
Task fetch_nodes(State& st, Resolver* self, PyObject* key, PyObject* market, PyObject* table,
                 PyObject* node_id_path, PyObject* node_label_path) {
    Ref call = Ref::steal(call_client(st, self, market, table, node_id_path, node_label_path));
    Ref payload = co_await coro::await_object(std::move(call));
    if (!payload || !expect_dict(payload.get(), "payload")) co_return Ref();
    Ref nodes = parse_nodes(st, payload.get(), node_id_path);
    payload.reset();
    // Stored after the await: an entry stored meanwhile is replaced.
    if (!nodes || !alive(self) || PyDict_SetItem(self->cache, key, nodes.get()) < 0) co_return Ref();
    co_return nodes;
}

// The node-id path that `value` names among the nodes of its answer: the one
// exact match; else, if the answer held exactly one node, that node; else the
// no-match or several-matches error.
Ref pick(State& st, PyObject* value, PyObject* nodes) {
    if (!PyList_Check(nodes)) {
        PyErr_Format(PyExc_TypeError, "cached category nodes must be a list, not %.200s", Py_TYPE(nodes)->tp_name);
        return nullptr;
    }
    Ref keep = Ref::borrow(nodes);
    Ref first;
    Py_ssize_t n = count_matches(st, value, nodes, first);
    if (n < 0) return nullptr;
    if (n != 1) {
        if (PyList_GET_SIZE(nodes) != 1 || !(first = list_item(nodes, 0)))
            return raise_match_error(st, value, nodes, st.s[k_scope_all]);
        if (!is_node(st, first.get())) {
            not_a_node(first.get());
            return nullptr;
        }
    }
    return Ref::borrow(field(as_node(first.get()), f_node_id_path));
}

// A market or table the same as the memo's: the very object, or an exact
// str or int of the same value (comparing those runs no Python code).
bool same_as(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!a || !b || Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
    if (PyLong_CheckExact(a)) return PyObject_RichCompareBool(a, b, Py_EQ) == 1;
    return false;
}

// The resolver's memo record, if it has one for this market and table.
Ref memo_for(Resolver* self, PyObject* market, PyObject* table) {
    Ref record;
    {
        CriticalSection section(reinterpret_cast<PyObject*>(self));
        record = Ref::borrow(self->memo);
    }
    if (!record || !same_as(PyTuple_GET_ITEM(record.get(), 0), market) ||
        !same_as(PyTuple_GET_ITEM(record.get(), 1), table))
        return Ref();
    return record;
}

// The memo record of one call's market and table, read from the resolver on
// first need and kept for the rest of the call. The resolver's record may be
// replaced meanwhile (by another call, or by code that a key's __eq__ runs);
// an older record gives the same paths, since every entry is checked against
// the cache before it is used.
struct Memo {
    Ref record;
    bool read = false;

    PyObject* labels(Resolver* self, PyObject* market, PyObject* table) {
        if (!read) {
            record = memo_for(self, market, table);
            read = true;
        }
        return record ? PyTuple_GET_ITEM(record.get(), 2) : nullptr;
    }
};

// The node-id path of `text` matched before against the cached answer that
// the cache still holds: the very list, with the very nodes it had then, so
// matching again would give the same. 1 with `out` set, 0 when there is no
// such path, -1 on a lookup error. Everything read is held by references of
// our own: looking up the cache may run a key's __eq__, which may resolve
// again on this resolver and replace the memo.
int remembered(Resolver* self, Memo& memo, PyObject* market, PyObject* table, PyObject* text, Ref& out) {
    PyObject* labels = memo.labels(self, market, table);
    if (!labels) return 0;
    Ref entry, nodes;
    int found = dict_get_ref(labels, text, entry);  // exact str keys only
    if (found <= 0) return found;
    Ref cache = Ref::borrow(self->cache);
    found = dict_get_ref(cache.get(), PyTuple_GET_ITEM(entry.get(), 0), nodes);
    if (found <= 0) return found;
    PyObject* then = PyTuple_GET_ITEM(entry.get(), 2);
    if (nodes.get() != PyTuple_GET_ITEM(entry.get(), 1) || !PyList_Check(nodes.get())) return 0;
    {
        CriticalSection section(nodes.get());
        if (PyList_GET_SIZE(nodes.get()) != PyTuple_GET_SIZE(then)) return 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(then); ++i)
            if (PyList_GET_ITEM(nodes.get(), i) != PyTuple_GET_ITEM(then, i)) return 0;
    }
    out = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 3));
    return 1;
}

// Keeps the path matched for `text` in the memo; false on error.
bool remember(Resolver* self, Memo& memo, PyObject* market, PyObject* table, PyObject* text, PyObject* key,
              PyObject* nodes, PyObject* path) {
    if (!PyUnicode_CheckExact(text) || !PyList_Check(nodes)) return true;
    if (!memo.labels(self, market, table)) {
        Ref labels = Ref::steal(PyDict_New());
        Ref record = Ref::steal(labels ? PyTuple_Pack(3, market, table, labels.get()) : nullptr);
        if (!record) return false;
        Ref old;
        {
            CriticalSection section(reinterpret_cast<PyObject*>(self));
            old = Ref::steal(std::exchange(self->memo, new_ref(record.get())));
        }
        memo.record = std::move(record);
    }
    Ref then = Ref::steal(PyList_AsTuple(nodes));
    Ref entry = Ref::steal(then ? PyTuple_Pack(4, key, nodes, then.get(), path) : nullptr);
    return entry && PyDict_SetItem(PyTuple_GET_ITEM(memo.record.get(), 2), text, entry.get()) == 0;
}

// What resolve() can settle without a request.
enum class Start { Ready, Fetch };

// Trims `value`; empty text and node-id paths are the result as they are,
// and a label whose answer is cached is matched at once (`out`, empty with an
// error set on failure). Otherwise `text` and `key` say what to request.
// `prefix` is made on first need, so text that needs no lookup never shows
// the market as text.
Start resolve_start(State& st, Resolver* self, Memo& memo, PyObject* value, PyObject* market, PyObject* table,
                    Ref& prefix, Ref& out, Ref& text, Ref& key) {
    text = trim(value);
    if (!text) return Start::Ready;
    if (PyUnicode_GET_LENGTH(text.get()) == 0 || is_node_path(text.get())) {
        out = std::move(text);
        return Start::Ready;
    }
    if (!alive(self)) return Start::Ready;
    const int known = remembered(self, memo, market, table, text.get(), out);
    if (known != 0) return Start::Ready;
    if (!prefix && !(prefix = key_prefix(st, market, table))) return Start::Ready;
    key = concat({prefix.get(), st.s[k_colon], text.get()});
    Ref nodes;
    if (!key || !cached(self, key.get(), nodes)) return Start::Ready;
    if (!nodes) return Start::Fetch;
    out = pick(st, text.get(), nodes.get());
    if (out && !remember(self, memo, market, table, text.get(), key.get(), nodes.get(), out.get())) out.reset();
    return Start::Ready;
}

// The frames below keep in Held locals (seen by the collector) whatever
// lives across a request; the method's arguments are the coroutine's roots.

Task resolve_task(State& st, Resolver* self, PyObject* value, PyObject* market, PyObject* table) {
    coro::Object* co = co_await coro::running();
    Ref prefix, out;
    coro::Held text(co), key(co);
    {
        Memo memo;
        if (resolve_start(st, self, memo, value, market, table, prefix, out, *text, *key) == Start::Ready)
            co_return out;
    }
    Ref nodes = co_await fetch_nodes(st, self, key.get(), market, table, st.c.s_empty, text.get());
    if (!nodes) co_return Ref();
    co_return pick(st, text.get(), nodes.get());
}

Task resolve_label_task(State& st, Resolver* self, PyObject* value, PyObject* market, PyObject* table) {
    coro::Object* co = co_await coro::running();
    coro::Held key(co);
    Ref nodes;
    {
        Ref prefix = key_prefix(st, market, table);
        if (!prefix) co_return Ref();
        key = concat({prefix.get(), st.s[k_colon], value});
    }
    if (!key || !cached(self, key.get(), nodes)) co_return Ref();
    if (!nodes) {
        nodes = co_await fetch_nodes(st, self, key.get(), market, table, st.c.s_empty, value);
        if (!nodes) co_return Ref();
    }
    co_return pick(st, value, nodes.get());
}

Task nodes_task(State& st, Resolver* self, PyObject* market, PyObject* table, PyObject* node_id_path,
                PyObject* node_label_path) {
    coro::Object* co = co_await coro::running();
    coro::Held key(co);
    Ref nodes;
    {
        Ref prefix = key_prefix(st, market, table);
        if (!prefix) co_return Ref();
        key = concat({prefix.get(), node_id_path, st.s[k_colon], node_label_path});
    }
    if (!key || !cached(self, key.get(), nodes)) co_return Ref();
    if (nodes) co_return nodes;  // the stored list itself
    co_return co_await fetch_nodes(st, self, key.get(), market, table, node_id_path, node_label_path);
}

inline PyObject* call1(PyObject* fn, PyObject* arg) { return PyObject_Vectorcall(fn, &arg, 1, nullptr); }

// The first paths of resolve_params, kept aside while it has made no
// request: a list made whole at once is written without taking its lock.
struct EarlyPaths {
    static constexpr Py_ssize_t kSize = 4;
    Ref path[kSize];
    Py_ssize_t count = 0;

    // Keeps the path of value `i` if there is room; false when there is not.
    bool keep(Py_ssize_t i, Ref& out) {
        if (i >= kSize) return false;
        path[i] = std::move(out);
        count = i + 1;
        return true;
    }

    // A list of `n` items: the paths kept, then Nones; false on error.
    bool into_list(Py_ssize_t n, Ref& list) {
        list = Ref::steal(PyList_New(n));
        if (!list) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), i, i < count ? path[i].release() : new_ref(Py_None));
        count = 0;
        return true;
    }
};

// What resolve_params reads from the map before its first request: the
// category keys, "month", "market" and "site". A small map whose keys are all
// exact strs is walked once for them (comparing such keys runs no Python
// code, so the walk finds what lookups would). A step that may run Python
// code (a __bool__ or __str__ of a value) may change the map: from then on
// the names are looked up, as before.
class ParamsReader {
public:
    enum : int { nodeIdPaths, nodeIdPath, node, category, month, market, site, count };
    static constexpr Str names[count] = {k_nodeIdPaths, k_nodeIdPath, k_node, k_category, k_month, k_market, k_site};
    static constexpr Py_ssize_t kMaxWalked = 16;  // beyond that, a few lookups cost less

    ParamsReader(State& st, PyObject* params) : st_(st), params_(params) {
        if (PyDict_GET_SIZE(params) <= kMaxWalked) walk();
    }
    ParamsReader(const ParamsReader&) = delete;
    ParamsReader& operator=(const ParamsReader&) = delete;

    // get(names[i]) of the map; false on a lookup error.
    bool get(int i, Ref& out) const {
        if (walked_) {
            out = Ref::borrow(values_[i].get());
            return true;
        }
        return zk::get(params_, st_.s[names[i]], out);
    }

    // After testing the truth of `v`, or after converting `v` to text: only
    // the kinds whose truth or conversion runs no Python code keep the walk.
    void after_truth(PyObject* v) {
        if (!(v == nullptr || v == Py_None || v == Py_True || v == Py_False || PyUnicode_CheckExact(v) ||
              PyLong_CheckExact(v) || PyList_CheckExact(v) || PyDict_CheckExact(v)))
            forget();
    }
    void after_conversion(PyObject* v) {
        if (!(v == nullptr || v == Py_None || PyUnicode_CheckExact(v))) forget();
    }

private:
    void forget() {
        walked_ = false;
        for (Ref& v : values_) v.reset();
    }

    void walk() {
        CriticalSection section(params_);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(params_, &pos, &k, &v)) {
            // Other keys, and a str of the old kind (3.10 and 3.11, made by
            // deprecated calls), are left to lookups.
            if (!PyUnicode_CheckExact(k) || !PyUnicode_IS_COMPACT(k)) {
                forget();
                return;
            }
            const int i = index_of(k);
            if (i >= 0) values_[i] = Ref::borrow(v);
        }
        walked_ = true;
    }

    // Which of the names a compact exact str key is, if any: told apart by
    // length and first character, then compared.
    int index_of(PyObject* k) const {
        static constexpr std::string_view texts[] = {ZK_CATEGORY_STRINGS(ZK_TEXT_OF)};
        static constexpr auto length = [] {
            std::array<Py_ssize_t, count> l{};
            for (int i = 0; i < count; ++i) l[size_t(i)] = Py_ssize_t(texts[names[i]].size());
            return l;
        }();
        static constexpr auto first = [] {
            std::array<char, count> f{};
            for (int i = 0; i < count; ++i) f[size_t(i)] = texts[names[i]][0];
            return f;
        }();
        if (!PyUnicode_IS_COMPACT_ASCII(k)) return -1;  // the names are ASCII
        const Py_ssize_t n = PyUnicode_GET_LENGTH(k);
        const char* p = static_cast<const char*>(PyUnicode_DATA(k));
        for (int i = 0; i < count; ++i) {
            if (n != length[size_t(i)] || p[0] != first[size_t(i)]) continue;
            PyObject* name = st_.s[names[i]];
            return k == name || std::memcmp(p, PyUnicode_DATA(name), size_t(n)) == 0 ? i : -1;
        }
        return -1;
    }

    State& st_;
    PyObject* params_;
    Ref values_[count];
    bool walked_ = false;
};

// The steps of resolve_params before its first request: the category key
// (an index of ParamsReader::names), the category values, the table and the
// market. 1 when all are set, 0 when the map itself is the result (no
// category text, or none left by csv), -1 on error.
int resolve_params_prepare(State& st, PyObject* params, PyObject* site, PyObject* period, int& key, Ref& values,
                           Ref& table, Ref& market) {
    ParamsReader in(st, params);
    key = -1;
    for (int i = ParamsReader::nodeIdPaths; i <= ParamsReader::category && key < 0; ++i) {
        Ref v;
        if (!in.get(i, v)) return -1;
        const int t = truthy_ref(v);
        if (t < 0) return -1;
        in.after_truth(v.get());
        if (t) key = i;
    }
    if (key < 0) return 0;
    {
        Ref raw;
        if (!in.get(key, raw)) return -1;
        values = Ref::steal(call1(st.csv, raw ? raw.get() : Py_None));
        in.after_conversion(raw.get());
    }
    if (!values) return -1;
    if (!PyList_CheckExact(values.get())) {
        PyErr_SetString(PyExc_TypeError, "csv() did not return a list");
        return -1;
    }
    if (PyList_GET_SIZE(values.get()) == 0) return 0;

    // The month first, then the market, both before any request.
    {
        Ref month, month_text;
        if (!in.get(ParamsReader::month, month)) return -1;
        if (first_truthy_of({month.get(), period}, month_text) < 0) return -1;
        in.after_truth(month.get());
        table = Ref::steal(call1(st.month_name, month_text.get()));
        in.after_conversion(month_text.get());
    }
    if (!table) return -1;
    if (!PyUnicode_Check(table.get())) {
        PyErr_SetString(PyExc_TypeError, "month_name() did not return a str");
        return -1;
    }
    // params["market"] or params["site"] or site
    Ref station;
    const int t = first_truthy_by(
        std::initializer_list<int>{ParamsReader::market, ParamsReader::site},
        [&in](int i, Ref& v) {
            if (!in.get(i, v)) return false;
            in.after_truth(v.get());  // its truth is tested before the next read
            return true;
        },
        station);
    if (t < 0) return -1;
    market = Ref::steal(call1(st.market_id, t ? station.get() : site));
    return market ? 1 : -1;
}

Task resolve_params_task(State& st, Resolver* self, PyObject* params, PyObject* scenario, PyObject* site,
                         PyObject* period) {
    coro::Object* co = co_await coro::running();
    coro::Held values(co), table(co), market(co), resolved(co), prefix(co);
    int key;
    const int ready = resolve_params_prepare(st, params, site, period, key, *values, *table, *market);
    if (ready <= 0) co_return ready < 0 ? Ref() : Ref::borrow(params);

    // One path per value. While the frame waits, both lists are whole (the
    // collector shows them to gc.get_referents, and whoever holds them may
    // change them): `resolved` is made before the first request, of the
    // paths so far and Nones, and both are read and written with bounds
    // checked. Until then the first paths wait in `early`, and with no
    // request at all the list is made whole at the end.
    const Py_ssize_t n = PyList_GET_SIZE(values.get());
    EarlyPaths early;
    Memo memo;  // let go of before every request: nothing but Held locals lives across one
    for (Py_ssize_t i = 0; i < n; ++i) {
        coro::Held value(co), text(co), label_key(co);
        value = list_item(values.get(), i);
        if (!value) {
            PyErr_SetString(PyExc_RuntimeError, "the category values changed while they were resolved");
            co_return Ref();
        }
        if (!expect_str(value.get(), "value")) co_return Ref();
        Ref out;
        if (resolve_start(st, self, memo, value.get(), market.get(), table.get(), *prefix, out, *text, *label_key) ==
            Start::Fetch) {
            if (!resolved && !early.into_list(n, *resolved)) co_return Ref();
            memo = Memo();
            Ref nodes = co_await fetch_nodes(st, self, label_key.get(), market.get(), table.get(), st.c.s_empty,
                                             text.get());
            if (!nodes) co_return Ref();
            out = pick(st, text.get(), nodes.get());
        }
        if (!out) co_return Ref();
        if (!resolved) {
            if (early.keep(i, out)) continue;
            if (!early.into_list(n, *resolved)) co_return Ref();
        }
        if (PyList_SetItem(resolved.get(), i, out.release()) < 0) co_return Ref();
    }
    if (!resolved && !early.into_list(n, *resolved)) co_return Ref();

    // A copy of the map as it is now; the key keeps its place.
    Ref next = Ref::steal(PyDict_Copy(params));
    if (!next) co_return Ref();
    Ref entry;
    if (str_eq(scenario, "market-research", 15)) {
        entry = Ref::steal(PyUnicode_Join(st.s[k_comma], resolved.get()));
        if (!entry) co_return Ref();
    } else {
        entry = std::move(*resolved);
    }
    if (PyDict_SetItem(next.get(), st.s[ParamsReader::names[key]], entry.get()) < 0) co_return Ref();
    co_return next;
}

// ---------------------------------------------------------------------------
// The type.

#define ZK_METHOD_FN(name) \
    PyObject* fn_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

ZK_METHOD_FN(resolve_params) {
    static constexpr Signature<4> sig{"resolve_params", {pos("params"), kw("scenario"), kw("site"), kw("period")}};
    PyObject* a[4];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "params") || !expect_str(a[1], "scenario") || !expect_str(a[2], "site") ||
        !expect_str(a[3], "period"))
        return nullptr;
    State& st = state_of_type(Py_TYPE(self));
    return coro::wrap(st.coro, "SellerSpriteCategoryResolver.resolve_params",
                      resolve_params_task(st, as_resolver(self), a[0], a[1], a[2], a[3]), {self, a[0], a[1], a[2], a[3]});
}

template <Task (*task)(State&, Resolver*, PyObject*, PyObject*, PyObject*)>
PyObject* text_method(const Signature<3>& sig, const char* qualname, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_str(a[0], "value") || !expect_str(a[2], "table")) return nullptr;
    State& st = state_of_type(Py_TYPE(self));
    return coro::wrap(st.coro, qualname, task(st, as_resolver(self), a[0], a[1], a[2]), {self, a[0], a[1], a[2]});
}

ZK_METHOD_FN(resolve) {
    static constexpr Signature<3> sig{"resolve", {pos("value"), kw("market"), kw("table")}};
    return text_method<resolve_task>(sig, "SellerSpriteCategoryResolver.resolve", self, args, nargs, kwnames);
}

ZK_METHOD_FN(_resolve_label) {
    static constexpr Signature<3> sig{"_resolve_label", {pos("value"), kw("market"), kw("table")}};
    return text_method<resolve_label_task>(sig, "SellerSpriteCategoryResolver._resolve_label", self, args, nargs,
                                           kwnames);
}

ZK_METHOD_FN(_nodes) {
    static constexpr Signature<4> sig{
        "_nodes", {kw("market"), kw("table"), kw_opt("node_id_path"), kw_opt("node_label_path")}};
    PyObject* a[4];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    State& st = state_of_type(Py_TYPE(self));
    if (!a[2]) a[2] = st.c.s_empty;
    if (!a[3]) a[3] = st.c.s_empty;
    if (!expect_str(a[1], "table") || !expect_str(a[2], "node_id_path") || !expect_str(a[3], "node_label_path"))
        return nullptr;
    return coro::wrap(st.coro, "SellerSpriteCategoryResolver._nodes",
                      nodes_task(st, as_resolver(self), a[0], a[1], a[2], a[3]), {self, a[0], a[1], a[2], a[3]});
}

#undef ZK_METHOD_FN

PyObject* resolver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<1> sig{"SellerSpriteCategoryResolver", {pos("client")}};
    PyObject* client;
    if (!parse_tuple_call(sig, args, kwargs, &client)) return nullptr;
    Ref cache = Ref::steal(PyDict_New());
    if (!cache) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_resolver(self)->client = new_ref(client);
    as_resolver(self)->cache = cache.release();
    return self;
}

int resolver_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_resolver(self)->client);
    Py_VISIT(as_resolver(self)->cache);
    Py_VISIT(as_resolver(self)->memo);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int resolver_clear(PyObject* self) {
    Py_CLEAR(as_resolver(self)->client);
    Py_CLEAR(as_resolver(self)->cache);
    Py_CLEAR(as_resolver(self)->memo);
    return 0;
}

void resolver_dealloc(PyObject* self) { gc_dealloc(self, as_resolver(self)->weakrefs, resolver_clear); }

// The methods are functions of the module's own type, so that they carry
// their annotations and read as the coroutine functions they are (annotated
// as an `async def` is: with what awaiting the call gives).
const FunctionDef resolver_methods[] = {
    {"resolve_params", ZK_METHOD_ENTRY(fn_resolve_params),
     "resolve_params($self, /, params, *, scenario, site, period)\n--\n\n",
     {"params", "dict[str, Any]", "scenario", "str", "site", "str", "period", "str", "return",
      "dict[str, Any]"},
     true},
    {"resolve", ZK_METHOD_ENTRY(fn_resolve), "resolve($self, /, value, *, market, table)\n--\n\n",
     {"value", "str", "market", "Any", "table", "str", "return", "str"}, true},
    {"_resolve_label", ZK_METHOD_ENTRY(fn__resolve_label), "_resolve_label($self, /, value, *, market, table)\n--\n\n",
     {"value", "str", "market", "Any", "table", "str", "return", "str"}, true},
    {"_nodes", ZK_METHOD_ENTRY(fn__nodes),
     "_nodes($self, /, *, market, table, node_id_path='', node_label_path='')\n--\n\n",
     {"market", "Any", "table", "str", "node_id_path", "str", "node_label_path", "str", "return",
      "list[CategoryNode]"},
     true},
};

PyMemberDef resolver_members[] = {
    {"client", T_OBJECT_EX, offsetof(Resolver, client), READONLY, nullptr},
    {"_cache", T_OBJECT_EX, offsetof(Resolver, cache), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Resolver, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot resolver_slots[] = {
    {Py_tp_doc, const_cast<char*>("SellerSpriteCategoryResolver(client)\n--\n\n通过卖家精灵类目接口解析类目文本。")},
    ZK_SLOT(Py_tp_new, resolver_new),
    ZK_SLOT(Py_tp_dealloc, resolver_dealloc),
    ZK_SLOT(Py_tp_traverse, resolver_traverse),
    ZK_SLOT(Py_tp_clear, resolver_clear),
    {Py_tp_members, resolver_members},
    {0, nullptr},
};

PyType_Spec resolver_spec = {
    "zentrik.seller_sprite.api.categories.SellerSpriteCategoryResolver",
    sizeof(Resolver),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    resolver_slots,
};

}  // namespace

PyTypeObject* make_resolver_type(PyObject* module) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &resolver_spec, nullptr));
    if (type && !state_of(module).functions.add_to_type(type, resolver_methods,
                                                        sizeof resolver_methods / sizeof resolver_methods[0]))
        Py_CLEAR(type);
    return type;
}

}  // namespace zk::categories
