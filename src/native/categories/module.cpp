// The categories module: functions, argument checks and module state.
#include <new>

#include "common/module.hpp"
#include "state.hpp"

namespace zk::categories {

namespace {

// The category key as Python sees it: the key, or None.
Ref category_key_or_none(State& st, PyObject* params) {
    Borrowed key;
    const int found = category_key(st, params, key);
    if (found < 0) return nullptr;
    return found ? key.ref() : Ref::borrow(Py_None);
}

#define ZK_SIG(name, ...) constexpr auto sig_##name = signature(#name, __VA_ARGS__);
ZK_SIG(_category_key, pos("params", Kind::dict))
ZK_SIG(_parse_nodes, pos("payload", Kind::dict), kw("parent_path", Kind::str))
ZK_SIG(_parse_node, pos("item", Kind::dict), kw("parent_path", Kind::str))
ZK_SIG(_label, pos("item", Kind::dict))
ZK_SIG(_normalize_category_text, pos("value", Kind::str))
ZK_SIG(_exact_matches, pos("value", Kind::str), pos("matches", Kind::list))
ZK_SIG(_raise_match_error, pos("value", Kind::str), pos("matches", Kind::list), kw("scope", Kind::str))
#undef ZK_SIG

#define ZK_DEF(name, op, doc, ...) {#name, module_function<State, sig_##name, op>, doc, {__VA_ARGS__}}

const FunctionDef functions[] = {
    ZK_DEF(_category_key, category_key_or_none, "_category_key($module, /, params)\n--\n\n", "params",
           "dict[str, Any]", "return", "str | None"),
    ZK_DEF(_parse_nodes, parse_nodes, "_parse_nodes($module, /, payload, *, parent_path)\n--\n\n", "payload",
           "dict[str, Any]", "parent_path", "str", "return", "list[CategoryNode]"),
    ZK_DEF(_parse_node, parse_node, "_parse_node($module, /, item, *, parent_path)\n--\n\n", "item",
           "dict[str, Any]", "parent_path", "str", "return", "CategoryNode"),
    ZK_DEF(_label, label, "_label($module, /, item)\n--\n\n", "item", "dict[str, Any]", "return", "str"),
    ZK_DEF(_normalize_category_text, normalize, "_normalize_category_text($module, /, value)\n--\n\n", "value",
           "str", "return", "str"),
    ZK_DEF(_exact_matches, exact_matches, "_exact_matches($module, /, value, matches)\n--\n\n", "value", "str",
           "matches", "list[CategoryNode]", "return", "list[CategoryNode]"),
    ZK_DEF(_raise_match_error, raise_match_error,
           "_raise_match_error($module, /, value, matches, *, scope)\n--\n\n", "value", "str", "matches",
           "list[CategoryNode]", "scope", "str", "return", "NoReturn"),
};

#undef ZK_DEF

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
    static const char* const texts[] = {ZK_CATEGORY_STRINGS(ZK_TEXT_OF)};
    State* made = start_state<State>(m, texts);
    if (!made) return -1;
    State& st = *made;

    {
        Ref payloads = Ref::steal(PyImport_ImportModule("zentrik.seller_sprite.api.payloads"));
        if (!payloads || !bind(m, payloads.get(), "csv", st.csv) ||
            !bind(m, payloads.get(), "market_id", st.market_id) ||
            !bind(m, payloads.get(), "month_name", st.month_name))
            return -1;
        Ref exceptions = Ref::steal(PyImport_ImportModule("zentrik.seller_sprite.domain.exceptions"));
        if (!exceptions || !bind(m, exceptions.get(), "SellerSpriteConfigError", st.config_error)) return -1;
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
    f(st.dataclass_attr_type);
    f(st.dataclass_fields);
    f(st.dataclass_params);
    st.coro.each(f);
}

// NODE_PATH_RE, compiled on first use: the module matches node-id paths
// itself, so `re` is imported only for a caller that asks for the pattern.
PyObject* module_getattr(PyObject* m, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "NODE_PATH_RE") == 0) {
        State& st = state_of(m);
        PyObject* pattern = published(st.node_path_re);
        if (!pattern) {
            Ref re = Ref::steal(PyImport_ImportModule("re"));
            Ref made = Ref::steal(re ? PyObject_CallMethod(re.get(), "compile", "s", "^\\d+(?::\\d+)*$") : nullptr);
            if (!made) return nullptr;
            pattern = publish(st.node_path_re, std::move(made));
        }
        return new_ref(pattern);
    }
    PyErr_Format(PyExc_AttributeError, "module 'zentrik.seller_sprite.api.categories' has no attribute '%U'", name);
    return nullptr;
}

// dir() lists NODE_PATH_RE too.
PyObject* module_dir(PyObject* m, PyObject*) {
    Ref names = Ref::steal(PyObject_GetAttrString(m, "__dict__"));
    Ref listed = Ref::steal(names ? PySequence_List(names.get()) : nullptr);
    Ref extra = Ref::steal(listed ? PyUnicode_FromString("NODE_PATH_RE") : nullptr);
    if (!extra || PyList_Append(listed.get(), extra.get()) < 0 || PyList_Sort(listed.get()) < 0) return nullptr;
    return listed.release();
}

PyMethodDef module_methods[] = {
    {"__getattr__", ZK_CFUNC(module_getattr), METH_O, nullptr},
    {"__dir__", ZK_CFUNC(module_dir), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

ZK_MODULE_DEFINITION(State, "zentrik.seller_sprite.api.categories",
                     "卖家精灵类目节点解析。",
                     module_methods)

}  // namespace

}  // namespace zk::categories

PyMODINIT_FUNC PyInit_categories(void) { return PyModuleDef_Init(&zk::categories::def); }
