// Category text matching: the canonical form of typed category text, node-id
// path recognition, exact matching against nodes and the error messages of
// text that names no node or several.
#include <cstring>
#include <vector>

#include "state.hpp"

namespace zk::categories {

namespace {

constexpr Py_UCS4 kFullWidthColon = 0xFF1A;

// Collapses whitespace and colons of code points [i, j) of `data`, which the
// caller has trimmed: a full-width colon counts as ":", whitespace around a
// colon goes, any other run of whitespace becomes one space. ASCII capitals
// are lowered on the way: case folding maps each of them to its small letter
// anyway. Writes to `out` (room for j - i code points), returns the number
// written and the largest code point in `maxchar`.
template <typename In, typename Out>
Py_ssize_t collapse(const In* data, Py_ssize_t i, Py_ssize_t j, Out* out, Py_UCS4& maxchar) {
    Py_ssize_t w = 0;
    Py_UCS4 top = 0;
    bool pending_space = false;
    bool after_colon = false;
    for (Py_ssize_t k = i; k < j; ++k) {
        Py_UCS4 ch = data[k];
        if (ch == kFullWidthColon) ch = ':';
        if (is_space(ch)) {
            pending_space = !after_colon;
            continue;
        }
        if (ch == ':') {
            out[w++] = ':';
            pending_space = false;
            after_colon = true;
            continue;
        }
        if (pending_space) out[w++] = ' ';
        pending_space = false;
        after_colon = false;
        if (ch >= 'A' && ch <= 'Z') ch |= 0x20;
        if (ch > top) top = ch;
        out[w++] = static_cast<Out>(ch);
    }
    maxchar = top;
    return w;
}

// A scratch buffer on the stack for the usual short texts.
template <typename T>
class Scratch {
public:
    explicit Scratch(Py_ssize_t n) {
        if (n > static_cast<Py_ssize_t>(kSmall)) {
            big_.resize(static_cast<size_t>(n));
            p_ = big_.data();
        }
    }
    T* get() { return p_; }

private:
    static constexpr size_t kSmall = 256;
    T small_[kSmall];
    std::vector<T> big_;
    T* p_ = small_;
};

// The canonical form of ASCII text [i, j) of `s`; `s` itself when that is
// what it already is.
Ref normalize_ascii(PyObject* s, Py_ssize_t i, Py_ssize_t j) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(s);
    Scratch<Py_UCS1> buf(j - i);
    Py_UCS4 maxchar;
    Py_ssize_t w = collapse(data, i, j, buf.get(), maxchar);
    if (w == PyUnicode_GET_LENGTH(s) && PyUnicode_CheckExact(s) && std::memcmp(buf.get(), data, static_cast<size_t>(w)) == 0)
        return Ref::borrow(s);
    PyObject* out = PyUnicode_New(w, 127);
    if (out) std::memcpy(PyUnicode_1BYTE_DATA(out), buf.get(), static_cast<size_t>(w));
    return Ref::steal(out);
}

template <typename In>
Ref normalize_wide(State& st, const In* data, Py_ssize_t i, Py_ssize_t j) {
    Scratch<Py_UCS4> buf(j - i);
    Py_UCS4 maxchar;
    Py_ssize_t w = collapse(data, i, j, buf.get(), maxchar);
    if (maxchar < 128) {
        // Whitespace and full-width colons were all that was wide.
        Ref out = Ref::steal(PyUnicode_New(w, 127));
        if (!out) return out;
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
        for (Py_ssize_t k = 0; k < w; ++k) dst[k] = static_cast<Py_UCS1>(buf.get()[k]);
        return out;
    }
    Ref collapsed = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buf.get(), w));
    if (!collapsed) return nullptr;
    return Ref::steal(PyObject_CallMethodNoArgs(collapsed.get(), st.c.m_casefold));  // full Unicode case folding
}

// Ordered equality of two strs by content.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// A node's text field, for matching: a str (subclasses read as their text).
PyObject* node_text(Node* node, int field) {
    PyObject* v = node->f[field];
    if (v && PyUnicode_Check(v)) return v;
    PyErr_Format(PyExc_TypeError, "CategoryNode.%s must be str, not %.200s",
                 field == f_label ? "label" : "label_path", v ? Py_TYPE(v)->tp_name : "NULL");
    return nullptr;
}

// The canonical form of a node's text field, which the node keeps in `slot`:
// published once, since two threads (or a __del__ run by the collector while
// one is made) may make it at the same time.
Borrowed canonical(State& st, Node* node, int field, PyObject*& slot) {
    if (PyObject* made = published(slot)) return Borrowed(made);
    PyObject* text = node_text(node, field);
    if (!text) return Borrowed();
    Ref made = normalize(st, text);
    return made ? Borrowed(publish(slot, std::move(made))) : Borrowed();
}

// Calls `keep(node)` for each node of `nodes` that `normalized` names.
template <typename F>
bool each_match(State& st, PyObject* normalized, PyObject* nodes, F&& keep) {
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = list_item(nodes, i);
        if (!item) break;
        if (!is_node(st, item.get())) return not_a_node(item.get());
        Node* node = as_node(item.get());
        Borrowed path = canonical_label_path(st, node);
        if (!path) return false;
        bool match = same_text(normalized, path.get());
        if (!match) {
            Borrowed text = canonical_label(st, node);
            if (!text) return false;
            match = same_text(normalized, text.get());
        }
        if (match && !keep(item.get())) return false;
    }
    return true;
}

}  // namespace

bool not_a_node(PyObject* item) {
    PyErr_Format(PyExc_TypeError, "expected a list of CategoryNode, got an element of type %.200s",
                 Py_TYPE(item)->tp_name);
    return false;
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (PyObject* p : parts) {
        if (!ZK_READY(p)) return nullptr;
        total += PyUnicode_GET_LENGTH(p);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
        if (m > maxchar) maxchar = m;
    }
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    if (!out) return out;
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (n && PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) return nullptr;
        at += n;
    }
    return out;
}

bool is_node_path(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    bool need_digit = true;  // at the start and after every colon
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, k);
        if (ch == ':') {
            if (need_digit) return false;
            need_digit = true;
        } else if (ch < 128 ? (ch >= '0' && ch <= '9') : Py_UNICODE_ISDECIMAL(ch)) {
            need_digit = false;
        } else {
            return false;
        }
    }
    return !need_digit;
}

Ref normalize(State& st, PyObject* text) {
    if (!ZK_READY(text)) return nullptr;
    Py_ssize_t i = 0, j = PyUnicode_GET_LENGTH(text);
    trim_bounds(text, i, j);
    if (i == j) return Ref::borrow(st.c.s_empty);
    if (PyUnicode_IS_ASCII(text)) return normalize_ascii(text, i, j);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return normalize_wide(st, static_cast<const Py_UCS1*>(data), i, j);
    case PyUnicode_2BYTE_KIND:
        return normalize_wide(st, static_cast<const Py_UCS2*>(data), i, j);
    default:
        return normalize_wide(st, static_cast<const Py_UCS4*>(data), i, j);
    }
}

Borrowed canonical_label_path(State& st, Node* node) {
    return canonical(st, node, f_label_path, node->canon_label_path);
}

Borrowed canonical_label(State& st, Node* node) { return canonical(st, node, f_label, node->canon_label); }

Ref exact_matches(State& st, PyObject* value, PyObject* nodes) {
    Ref normalized = normalize(st, value);
    if (!normalized) return nullptr;
    Ref out = Ref::steal(PyList_New(0));
    if (!out || PyUnicode_GET_LENGTH(normalized.get()) == 0) return out;
    const bool ok = each_match(st, normalized.get(), nodes,
                               [&](PyObject* node) { return PyList_Append(out.get(), node) == 0; });
    return ok ? std::move(out) : nullptr;
}

Py_ssize_t count_matches(State& st, PyObject* value, PyObject* nodes, Ref& first) {
    Ref normalized = normalize(st, value);
    if (!normalized) return -1;
    if (PyUnicode_GET_LENGTH(normalized.get()) == 0) return 0;
    Py_ssize_t count = 0;
    bool ok = each_match(st, normalized.get(), nodes, [&](PyObject* node) {
        if (count++ == 0) first = Ref::borrow(node);
        return true;
    });
    return ok ? count : -1;
}

Ref raise_match_error(State& st, PyObject* value, PyObject* nodes, PyObject* scope) {
    Ref message;
    if (PyList_GET_SIZE(nodes) == 0) {
        message = concat({st.s[k_no_match], value, st.s[k_scope_open], scope, st.s[k_scope_close]});
    } else {
        Ref candidates = Ref::steal(PyList_New(0));
        if (!candidates) return nullptr;
        for (Py_ssize_t i = 0; i < 10; ++i) {
            Ref item = list_item(nodes, i);
            if (!item) break;
            if (!is_node(st, item.get())) {
                not_a_node(item.get());
                return nullptr;
            }
            Node* node = as_node(item.get());
            Ref entry = Ref::steal(PyDict_New());
            if (!entry || PyDict_SetItem(entry.get(), st.s[k_nodeIdPath], field(node, f_node_id_path)) < 0 ||
                PyDict_SetItem(entry.get(), st.s[k_labelPath], field(node, f_label_path)) < 0 ||
                PyList_Append(candidates.get(), entry.get()) < 0)
                return nullptr;
        }
        Ref shown = Ref::steal(PyObject_Str(candidates.get()));
        if (!shown) return nullptr;
        if (!PyUnicode_Check(shown.get())) {
            PyErr_SetString(PyExc_TypeError, "the candidate list did not show as text");
            return nullptr;
        }
        message = concat({st.s[k_several], value, st.s[k_several_hint], shown.get()});
    }
    if (!message) return nullptr;
    Ref error = Ref::steal(PyObject_CallOneArg(st.config_error, message.get()));
    if (!error) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

}  // namespace zk::categories
