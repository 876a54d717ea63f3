// Reading the service's category answers: the category key of a parameter
// map, and the node records of one answer body turned into CategoryNodes.
//
// Maps are read with a strong reference to every value: a value's __bool__ or
// __str__ may change the very map being read.
#include "state.hpp"

namespace zk::categories {

namespace {

// The trimmed text form of the first truthy value under `keys`, or the empty
// string when none is truthy.
Ref first_truthy_text(State& st, PyObject* d, std::initializer_list<Str> keys) {
    Ref v;
    const int t = first_truthy_by(keys, [&](Str k, Ref& r) { return get(d, st.s[k], r); }, v);
    if (t < 0) return nullptr;
    return t ? trimmed_text(st.c, v.get()) : Ref::borrow(st.c.s_empty);
}

// "children" truthy, else "hasChildren" exactly True, else "leaf" exactly False.
int has_children(State& st, PyObject* item) {
    Ref v;
    if (!get(item, st.s[k_children], v)) return -1;
    int t = truthy_ref(v);
    if (t != 0) return t;
    if (!get(item, st.s[k_hasChildren], v)) return -1;
    if (v.get() == Py_True) return 1;
    if (!get(item, st.s[k_leaf], v)) return -1;
    return v.get() == Py_False;
}

inline bool empty(PyObject* s) { return PyUnicode_GET_LENGTH(s) == 0; }

}  // namespace

int category_key(State& st, PyObject* params, Borrowed& key) {
    for (Str k : {k_nodeIdPaths, k_nodeIdPath, k_node, k_category}) {
        Ref v;
        if (!get(params, st.s[k], v)) return -1;
        const int t = truthy_ref(v);
        if (t < 0) return -1;
        if (t) {
            key = Borrowed(st.s[k]);
            return 1;
        }
    }
    return 0;
}

Ref label(State& st, PyObject* item) {
    for (Str k : {k_label, k_nodeLabelLocale, k_nodeLabel, k_alias}) {
        Ref v;
        if (!get(item, st.s[k], v)) return nullptr;
        int t = truthy_ref(v);
        if (t < 0) return nullptr;
        if (!t) continue;
        // A truthy value whose text trims to nothing does not stop the search.
        Ref text = trimmed_text(st.c, v.get());
        if (!text || !empty(text.get())) return text;
    }
    return Ref::borrow(st.c.s_empty);
}

Ref parse_node(State& st, PyObject* item, PyObject* parent_path) {
    Ref id = first_truthy_text(st, item, {k_id, k_nodeId});
    if (!id) return nullptr;
    Ref path = first_truthy_text(st, item, {k_nodeIdPath, k_nodeIdPaths});
    if (!path) return nullptr;
    if (empty(path.get())) {
        path = !empty(parent_path) && !empty(id.get()) ? concat({parent_path, st.s[k_colon], id.get()})
                                                       : Ref::borrow(id.get());
        if (!path) return nullptr;
    }
    Ref text = label(st, item);
    if (!text) return nullptr;
    // "label" heads this list too: an item that carries it has that text as its path.
    Ref label_path = first_truthy_text(st, item, {k_label, k_nodeLabelPathLocale, k_nodeLabelPath});
    if (!label_path) return nullptr;
    if (empty(label_path.get())) label_path = Ref::borrow(text.get());
    const int children = has_children(st, item);
    if (children < 0) return nullptr;
    return make_node(st, std::move(id), std::move(path), std::move(text), std::move(label_path),
                     Ref::borrow(children ? Py_True : Py_False));
}

Ref parse_nodes(State& st, PyObject* payload, PyObject* parent_path) {
    Ref raw;
    if (!get(payload, st.s[k_items], raw)) return nullptr;
    if (!raw || raw.get() == Py_None) {
        // Only a missing or null "items" looks inside "data".
        Ref data;
        if (!get(payload, st.s[k_data], data)) return nullptr;
        if (data && PyDict_Check(data.get()) && !get(data.get(), st.s[k_items], raw)) return nullptr;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out || !raw || !PyList_Check(raw.get())) return out;
    // By index, re-reading the size: reading an entry may run code that changes the list.
    for (Py_ssize_t i = 0;; ++i) {
        Ref entry = list_item(raw.get(), i);
        if (!entry) break;
        if (!PyDict_Check(entry.get())) continue;
        Ref node = parse_node(st, entry.get(), parent_path);
        if (!node || PyList_Append(out.get(), node.get()) < 0) return nullptr;
    }
    return out;
}

}  // namespace zk::categories
