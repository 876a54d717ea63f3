// The categories module: functions, argument checks and module state.
#include <new>

#include "common/module.hpp"
#include "state.hpp"

namespace zk::categories {

namespace {

#define ZK_FASTCALL(name) PyObject* fn_##name(void* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

ZK_FASTCALL(_category_key) {
    static constexpr Signature<1> sig{"_category_key", {pos("params")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a) || !expect_dict(a[0], "params")) return nullptr;
    PyObject* key = category_key(state_of(m), a[0]);
    if (key) return new_ref(key);
    return PyErr_Occurred() ? nullptr : new_ref(Py_None);
}

ZK_FASTCALL(_parse_nodes) {
    static constexpr Signature<2> sig{"_parse_nodes", {pos("payload"), kw("parent_path")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "payload") || !expect_str(a[1], "parent_path")) return nullptr;
    return parse_nodes(state_of(m), a[0], a[1]);
}

ZK_FASTCALL(_parse_node) {
    static constexpr Signature<2> sig{"_parse_node", {pos("item"), kw("parent_path")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_dict(a[0], "item") || !expect_str(a[1], "parent_path")) return nullptr;
    return parse_node(state_of(m), a[0], a[1]);
}

ZK_FASTCALL(_label) {
    static constexpr Signature<1> sig{"_label", {pos("item")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a) || !expect_dict(a[0], "item")) return nullptr;
    return label(state_of(m), a[0]);
}

ZK_FASTCALL(_normalize_category_text) {
    static constexpr Signature<1> sig{"_normalize_category_text", {pos("value")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a) || !expect_str(a[0], "value")) return nullptr;
    return normalize(state_of(m), a[0]);
}

ZK_FASTCALL(_exact_matches) {
    static constexpr Signature<2> sig{"_exact_matches", {pos("value"), pos("matches")}};
    PyObject* a[2];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_str(a[0], "value") || !expect_list(a[1], "matches")) return nullptr;
    return exact_matches(state_of(m), a[0], a[1]);
}

ZK_FASTCALL(_raise_match_error) {
    static constexpr Signature<3> sig{"_raise_match_error", {pos("value"), pos("matches"), kw("scope")}};
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    if (!expect_str(a[0], "value") || !expect_list(a[1], "matches") || !expect_str(a[2], "scope")) return nullptr;
    return raise_match_error(state_of(m), a[0], a[1], a[2]);
}

#define ZK_DEF(name, doc, ...) {#name, ZK_ENTRY(fn_##name), doc, {__VA_ARGS__}}

const FunctionDef functions[] = {
    ZK_DEF(_category_key, "_category_key($module, /, params)\n--\n\n", "params", "dict[str, Any]", "return",
           "str | None"),
    ZK_DEF(_parse_nodes, "_parse_nodes($module, /, payload, *, parent_path)\n--\n\n", "payload", "dict[str, Any]",
           "parent_path", "str", "return", "list[CategoryNode]"),
    ZK_DEF(_parse_node, "_parse_node($module, /, item, *, parent_path)\n--\n\n", "item", "dict[str, Any]",
           "parent_path", "str", "return", "CategoryNode"),
    ZK_DEF(_label, "_label($module, /, item)\n--\n\n", "item", "dict[str, Any]", "return", "str"),
    ZK_DEF(_normalize_category_text, "_normalize_category_text($module, /, value)\n--\n\n", "value", "str",
           "return", "str"),
    ZK_DEF(_exact_matches, "_exact_matches($module, /, value, matches)\n--\n\n", "value", "str", "matches",
           "list[CategoryNode]", "return", "list[CategoryNode]"),
    ZK_DEF(_raise_match_error, "_raise_match_error($module, /, value, matches, *, scope)\n--\n\n", "value", "str",
           "matches", "list[CategoryNode]", "scope", "str", "return", "NoReturn"),
};

// What the annotation texts name besides builtins (nullptr: this module).
const HintName hint_names[] = {{"Any", "typing"}, {"NoReturn", "typing"}, {"CategoryNode", nullptr}};

// The ImportError of `from <from> import name` for a name that is missing.
void import_error(PyObject* from, const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    Ref module_name = Ref::steal(PyObject_GetAttrString(from, "__name__"));
    if (!module_name) PyErr_Clear();
    Ref path = Ref::steal(PyObject_GetAttrString(from, "__file__"));
    if (!path) PyErr_Clear();
    if (!text) return;
    PyObject* shown = module_name ? module_name.get() : Py_None;
    Ref message;
    if (path && PyUnicode_Check(path.get())) {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", text.get(), shown, path.get()));
    } else {
        message = Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", text.get(), shown));
        path.reset();
    }
    if (message) PyErr_SetImportError(message.get(), module_name.get(), path.get());
}

// `from <from> import name`, bound into the state and onto this module.
bool bind(PyObject* m, PyObject* from, const char* name, PyObject*& slot) {
    slot = PyObject_GetAttrString(from, name);
    if (!slot) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            import_error(from, name);
        }
        return false;
    }
    return PyModule_AddObjectRef(m, name, slot) == 0;
}

bool add_type(PyObject* m, PyTypeObject* type) {
    return type && PyModule_AddType(m, type) == 0;
}

int exec(PyObject* m) {
    State& st = state_of(m);
    new (&st) State();
    if (!st.c.init()) return -1;
    static const char* const texts[] = {
#define ZK_TEXT(name, text) text,
        ZK_CATEGORY_STRINGS(ZK_TEXT)
#undef ZK_TEXT
    };
    if (!zk::intern_all(texts, k_count, st.s)) return -1;
    if (PyModule_AddStringConstant(m, "__version__", ZK_VERSION) < 0) return -1;

    {
        Ref payloads = Ref::steal(PyImport_ImportModule("zentrik.seller_sprite.api.payloads"));
        if (!payloads || !bind(m, payloads.get(), "csv", st.csv) ||
            !bind(m, payloads.get(), "market_id", st.market_id) ||
            !bind(m, payloads.get(), "month_name", st.month_name))
            return -1;
        Ref exceptions = Ref::steal(PyImport_ImportModule("zentrik.seller_sprite.domain.exceptions"));
        if (!exceptions || !bind(m, exceptions.get(), "SellerSpriteConfigError", st.config_error)) return -1;
        Ref re = Ref::steal(PyImport_ImportModule("re"));
        if (!re) return -1;
        st.node_path_re = PyObject_CallMethod(re.get(), "compile", "s", "^\\d+(?::\\d+)*$");
        if (!st.node_path_re || PyModule_AddObjectRef(m, "NODE_PATH_RE", st.node_path_re) < 0) return -1;
    }

    st.category_keys = PyTuple_Pack(4, st.s[k_nodeIdPaths], st.s[k_nodeIdPath], st.s[k_node], st.s[k_category]);
    if (!st.category_keys || PyModule_AddObjectRef(m, "CATEGORY_KEYS", st.category_keys) < 0) return -1;
    st.client_kwnames =
        PyTuple_Pack(4, st.s[k_market_id], st.s[k_table], st.s[k_node_id_path], st.s[k_node_label_path]);
    if (!st.client_kwnames) return -1;

    if (!st.functions.init(m, "zentrik.seller_sprite.api.categories.zentrik_function", hint_names) ||
        !st.functions.add_to_module(m, functions, sizeof functions / sizeof functions[0]))
        return -1;
    st.node_type = make_node_type(m);
    if (!add_type(m, st.node_type)) return -1;
    st.resolver_type = make_resolver_type(m);
    if (!add_type(m, st.resolver_type)) return -1;
    if (!st.coro.init(m, "zentrik.seller_sprite.api.categories.zentrik_coroutine")) return -1;
    return 0;
}

template <typename F>
void each_object(State& st, F&& f) {
    st.c.each(f);
    st.functions.each(f);
    for (auto& p : st.s) f(p);
    f(st.csv);
    f(st.market_id);
    f(st.month_name);
    f(st.config_error);
    f(st.node_path_re);
    f(st.category_keys);
    f(st.client_kwnames);
    f(st.node_type);
    f(st.resolver_type);
    st.coro.each(f);
}

ZK_MODULE_DEFINITION(State, "zentrik.seller_sprite.api.categories",
                     "卖家精灵类目节点解析。",
                     nullptr)

}  // namespace

}  // namespace zk::categories

PyMODINIT_FUNC PyInit_categories(void) { return PyModuleDef_Init(&zk::categories::def); }
