// Module state of the categories module and the operations its source files
// share. What an operation makes comes back as a Ref (empty: an exception is
// set); what it only finds, as a Borrowed view of an object kept elsewhere.
#pragma once

#include "common/args.hpp"
#include "common/coro/await.hpp"
#include "common/errors.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/value.hpp"

namespace zk::categories {

// Every key and fixed text the module reads or writes, interned once.
#define ZK_CATEGORY_STRINGS(X)                                                         \
    X(nodeIdPaths, "nodeIdPaths") X(nodeIdPath, "nodeIdPath") X(node, "node")          \
    X(category, "category") X(items, "items") X(data, "data") X(id, "id")             \
    X(nodeId, "nodeId") X(label, "label") X(nodeLabelLocale, "nodeLabelLocale")       \
    X(nodeLabel, "nodeLabel") X(alias, "alias")                                       \
    X(nodeLabelPathLocale, "nodeLabelPathLocale") X(nodeLabelPath, "nodeLabelPath")   \
    X(children, "children") X(hasChildren, "hasChildren") X(leaf, "leaf")             \
    X(labelPath, "labelPath") X(month, "month") X(market, "market") X(site, "site")   \
    X(market_research, "market-research") X(category_nodes, "category_nodes")        \
    X(market_id, "market_id") X(table, "table") X(node_id_path, "node_id_path")       \
    X(node_label_path, "node_label_path") X(colon, ":") X(comma, ",")                 \
    X(scope_all, "全部类目") X(no_match, "未匹配到卖家精灵类目：")                       \
    X(scope_open, "（范围：") X(scope_close, "）")                                     \
    X(several, "卖家精灵类目存在多个匹配：")                                             \
    X(several_hint, "。请补充完整类目路径或 nodeIdPath。候选：")

enum Str : int {
#define ZK_ENUM(name, text) k_##name,
    ZK_CATEGORY_STRINGS(ZK_ENUM)
#undef ZK_ENUM
        k_count
};

struct State {
    Common c;
    Functions functions;
    PyObject* s[k_count] = {};

    // Bound at load from the payloads module and the host's exceptions module.
    PyObject* csv = nullptr;
    PyObject* market_id = nullptr;
    PyObject* month_name = nullptr;
    PyObject* config_error = nullptr;

    PyObject* node_path_re = nullptr;    // the compiled pattern, exposed as NODE_PATH_RE
    PyObject* category_keys = nullptr;   // tuple, exposed as CATEGORY_KEYS
    PyObject* client_kwnames = nullptr;  // the four keyword names of the client call

    PyTypeObject* node_type = nullptr;
    PyTypeObject* resolver_type = nullptr;
    // CategoryNode's __dataclass_fields__ and __dataclass_params__: the type
    // of the descriptors that make them on first use, and what they made
    // (published once).
    PyTypeObject* dataclass_attr_type = nullptr;
    PyObject* dataclass_fields = nullptr;
    PyObject* dataclass_params = nullptr;
    coro::Module coro;  // the coroutine objects the resolver's methods return
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }
// The state a module function is handed.
inline State& state_of(void* state) { return *static_cast<State*>(state); }

// The state of the module that made a type of this module (all are final).
inline State& state_of_type(PyTypeObject* type) { return state_of(PyType_GetModule(type)); }

// ---------------------------------------------------------------------------
// CategoryNode (node.cpp)

constexpr int kFields = 5;
enum Field : int { f_id, f_node_id_path, f_label, f_label_path, f_has_children };

struct Node {
    PyObject_HEAD
    PyObject* f[kFields];
    // Canonical forms of label_path and label, made on first use; nodes are
    // immutable, so they never go stale.
    PyObject* canon_label_path;
    PyObject* canon_label;
    PyObject* weakrefs;
};

inline bool is_node(State& st, PyObject* o) { return Py_TYPE(o) == st.node_type; }
inline Node* as_node(PyObject* o) { return reinterpret_cast<Node*>(o); }
// A field (None once the collector has cleared a node caught in a cycle).
inline PyObject* field(Node* n, int i) { return n->f[i] ? n->f[i] : Py_None; }

// A new node of the five fields.
Ref make_node(State& st, Ref id, Ref node_id_path, Ref label, Ref label_path, Ref has_children);
PyTypeObject* make_node_type(PyObject* module);

// ---------------------------------------------------------------------------
// Parsing (parse.cpp)

// The category key of a parameter map (one of the module's interned keys):
// 1 with `key` set, 0 when the map has no category text, -1 on error.
int category_key(State& st, PyObject* params, Borrowed& key);
Ref parse_nodes(State& st, PyObject* payload, PyObject* parent_path);
Ref parse_node(State& st, PyObject* item, PyObject* parent_path);
Ref label(State& st, PyObject* item);

// ---------------------------------------------------------------------------
// Matching (matching.cpp)

// Full match of ^\d+(?::\d+)*$ on an exact str.
bool is_node_path(PyObject* text);
Ref normalize(State& st, PyObject* text);
// The canonical forms a node's texts are compared in, which the node keeps
// (made on first use); empty on error.
Borrowed canonical_label_path(State& st, Node* node);
Borrowed canonical_label(State& st, Node* node);
Ref exact_matches(State& st, PyObject* value, PyObject* nodes);
// Counts the nodes of `nodes` matching `value`; `first` receives the first
// match. -1 with an error.
Py_ssize_t count_matches(State& st, PyObject* value, PyObject* nodes, Ref& first);
// Always empty, with SellerSpriteConfigError (or a type error) set.
Ref raise_match_error(State& st, PyObject* value, PyObject* nodes, PyObject* scope);

// The error of a list of nodes that holds something else; always false.
bool not_a_node(PyObject* item);

// A new str: the exact strs `parts` joined end to end.
Ref concat(std::initializer_list<PyObject*> parts);

// ---------------------------------------------------------------------------
// Resolver (resolver.cpp)

PyTypeObject* make_resolver_type(PyObject* module);

}  // namespace zk::categories
