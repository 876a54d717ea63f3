// Parameter coercion: option values to the forms of payloads and queries.
#include <new>

#include "payloads.hpp"

namespace zk::payloads {

namespace {

// Gathers items into a list made at its final size: the first few on the
// stack, the rest (for long inputs) appended.
class ListBuilder {
public:
    ListBuilder() = default;
    ListBuilder(const ListBuilder&) = delete;
    ListBuilder& operator=(const ListBuilder&) = delete;
    ~ListBuilder() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
    }
    // False on error (an empty `item` is the error of making it).
    bool add(Ref&& item) {
        if (!item) return false;
        if (!spill_ && n_ < kShort) {
            items_[n_++] = item.release();
            return true;
        }
        if (!spill_ && !(spill_ = Ref::steal(take()))) return false;
        return PyList_Append(spill_.get(), item.get()) == 0;
    }
    Ref finish() { return spill_ ? std::move(spill_) : Ref::steal(take()); }

private:
    PyObject* take() {
        PyObject* list = PyList_New(n_);
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < n_; ++i) PyList_SET_ITEM(list, i, items_[i]);
        n_ = 0;
        return list;
    }
    static constexpr Py_ssize_t kShort = 16;
    PyObject* items_[kShort];
    Py_ssize_t n_ = 0;
    Ref spill_;
};

// The trimmed, non-empty pieces of the exact str `text` cut at commas.
Ref split_commas(PyObject* text) {
    if (!ZK_READY(text)) return nullptr;
    ListBuilder out;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        const char* p = static_cast<const char*>(PyUnicode_DATA(text));
        Py_ssize_t start = 0;
        while (start <= n) {
            const char* comma = static_cast<const char*>(std::memchr(p + start, ',', size_t(n - start)));
            const Py_ssize_t end = comma ? comma - p : n;
            Py_ssize_t i = start, j = end;
            trim_bounds(text, i, j);
            if (j > i && !out.add(substring(text, i, j))) return nullptr;
            start = end + 1;
        }
        return out.finish();
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0;
    for (Py_ssize_t k = 0; k <= n; ++k) {
        if (k < n && PyUnicode_READ(kind, data, k) != ',') continue;
        Py_ssize_t i = start, j = k;
        trim_bounds(text, i, j);
        if (j > i && !out.add(substring(text, i, j))) return nullptr;
        start = k + 1;
    }
    return out.finish();
}

// The trimmed text forms of a list's elements, the empty ones left out. The
// list is read by index with a strong reference to each element, so a
// __str__ that changes the list cannot pull an element away mid-use.
Ref trimmed_items(State& st, PyObject* list) {
    ListBuilder out;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = list_item(list, i);
        if (!item) break;
        Ref text = trimmed_text(st.c, item.get());
        if (!text) return nullptr;
        if (PyUnicode_GET_LENGTH(text.get()) > 0 && !out.add(std::move(text))) return nullptr;
    }
    return out.finish();
}

}  // namespace

#if ZK_FREE_THREADED
namespace detail {

namespace {

constexpr const char* kMemosCapsule = "zentrik.seller_sprite.api.payloads.memos";

// Lets go of a thread's memos, as its thread state is cleared.
void drop_memos(PyObject* capsule) {
    auto* memos = static_cast<Memos*>(PyCapsule_GetPointer(capsule, kMemosCapsule));
    if (!memos) {
        PyErr_Clear();
        return;
    }
    memos_gone.fetch_add(1, std::memory_order_acq_rel);
    memos->each([](PyObject*& o) { Py_CLEAR(o); });
    delete memos;
}

}  // namespace

Memos* thread_memos(State& st, PyThreadState* ts, uint64_t gone) {
    if (!ts || PyErr_Occurred()) return nullptr;  // nothing to keep them in; or an error not to disturb
    PyObject* dict = PyThreadState_GetDict();  // this thread's: no other thread changes it
    if (!dict) return nullptr;
    Memos* memos = nullptr;
    Ref found;
    if (dict_get_ref(dict, st.memos_key, found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (found) {
        memos = static_cast<Memos*>(PyCapsule_GetPointer(found.get(), kMemosCapsule));
    } else {
        auto* made = new (std::nothrow) Memos;
        Ref capsule = made ? Ref::steal(PyCapsule_New(made, kMemosCapsule, drop_memos)) : Ref();
        if (!capsule) delete made;
        if (capsule && PyDict_SetItem(dict, st.memos_key, capsule.get()) == 0) memos = made;
        // (a failed store frees the memos with the capsule)
    }
    if (!memos) {
        PyErr_Clear();
        return nullptr;
    }
    memos_seen = MemosSeen{ts, gone, memos};
    return memos;
}

}  // namespace detail
#endif

Ref csv(State& st, PyObject* v) {
    int t = truth(v);
    if (t < 0) return nullptr;
    if (!t) return Ref::steal(PyList_New(0));
    if (PyList_Check(v)) return trimmed_items(st, v);
    if (PyUnicode_CheckExact(v)) {
        // A list of its own for every caller, of the pieces made last time.
        // (The pieces are ours before the list is made: making it may run
        // the collector, and a __del__ may turn the memo over.)
        Memos* memos = memos_of(st);
        if (Ref pieces = memos ? memos->csv.find(v) : Ref()) {
            const Py_ssize_t n = PyTuple_GET_SIZE(pieces.get());
            PyObject* list = PyList_New(n);
            if (list)
                for (Py_ssize_t i = 0; i < n; ++i)
                    PyList_SET_ITEM(list, i, new_ref(PyTuple_GET_ITEM(pieces.get(), i)));
            return Ref::steal(list);
        }
        Ref list = split_commas(v);
        if (!list) return nullptr;
        Ref pieces = Ref::steal(PyList_AsTuple(list.get()));
        if (!pieces) return nullptr;
        if ((memos = memos_of(st))) memos->csv.keep(v, pieces.get());  // asked again: splitting made objects
        return list;
    }
    Ref text = text_form(st.c, v);
    return text ? split_commas(text.get()) : nullptr;
}

Ref query_text(State& st, PyObject* v) {
    if (PyList_Check(v)) {
        Ref items = trimmed_items(st, v);
        if (!items) return nullptr;
        return Ref::steal(PyUnicode_Join(st.s[k_comma], items.get()));
    }
    int t = truth(v);
    if (t < 0) return nullptr;
    if (!t) return Ref::borrow(st.c.s_empty);
    return trimmed_text(st.c, v);
}

int order_desc(State& st, PyObject* v) {
    if (v == Py_None) return 1;
    if (PyBool_Check(v)) return v == Py_True;
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) return 1;  // digits are never "false"
    Ref text = text_form(st.c, v);
    if (!text) return -1;
    if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get()))
        return !ascii_ieq(text.get(), "false", 5);
    Ref low = lower(st.c, text.get());
    if (!low) return -1;
    return !(PyUnicode_Check(low.get()) && PyUnicode_CompareWithASCIIString(low.get(), "false") == 0);
}

int truthy(State& st, PyObject* v, PyObject* deflt) {
    if (v == Py_None) return deflt ? truth(deflt) : 0;
    if (PyBool_Check(v)) return v == Py_True;
    if (PyLong_CheckExact(v)) {
        // the text form of an integer is "1" only for the integer 1
        int overflow;
        long x = PyLong_AsLongAndOverflow(v, &overflow);
        return !overflow && x == 1;
    }
    if (PyFloat_CheckExact(v)) return 0;  // "1.0", never a yes-word
    Ref text = text_form(st.c, v);
    if (!text) return -1;
    PyObject* s = text.get();
    Ref low;
    if (!(PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s))) {
        low = lower(st.c, s);
        if (!low) return -1;
        s = low.get();
        if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return 0;
    }
    return ascii_ieq(s, "1", 1) || ascii_ieq(s, "true", 4) || ascii_ieq(s, "yes", 3) || ascii_ieq(s, "y", 1);
}

Ref market_code(State& st, PyObject* v) {
    // A station code such as "us" comes back as the table's own "US".
    if (PyUnicode_CheckExact(v) && PyUnicode_IS_ASCII(v) && PyUnicode_GET_LENGTH(v) == 2) {
        const char* p = static_cast<const char*>(PyUnicode_DATA(v));
        auto up = [](char ch) { return (ch >= 'a' && ch <= 'z') ? char(ch ^ 0x20) : ch; };
        for (PyObject* code : st.station) {
            const char* c = static_cast<const char*>(PyUnicode_DATA(code));
            if (c[0] == up(p[0]) && c[1] == up(p[1])) return Ref::borrow(code);
        }
    }
    return upper_text(st.c, v);
}

Ref market(State& st, PyObject* input, PyObject* deflt) {
    Ref v;
    int t = first_truthy(input, {st.s[k_market], st.s[k_site]}, v);
    if (t < 0) return nullptr;
    return market_code(st, t ? v.get() : deflt);
}

Ref int_or(PyObject* v, PyObject* deflt) { return to_int_or(v, deflt); }

namespace {

// Concatenates pieces (exact strs) with a one-character separator and
// optional one-character ends, in one allocation.
Ref join_wrapped(PyObject* const* pieces, Py_ssize_t n, const char* open, const char* sep, const char* close) {
    const Py_ssize_t lo = Py_ssize_t(std::strlen(open)), ls = Py_ssize_t(std::strlen(sep)),
                     lc = Py_ssize_t(std::strlen(close));
    Py_ssize_t total = lo + lc + (n > 0 ? (n - 1) * ls : 0);
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; ++i) {
        total += PyUnicode_GET_LENGTH(pieces[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(pieces[i]);
        if (m > maxchar) maxchar = m;
    }
    PyObject* out = PyUnicode_New(total, maxchar);
    if (!out) return nullptr;
    const int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    Py_ssize_t w = 0;
    auto put_ascii = [&](const char* s, Py_ssize_t len) {
        for (Py_ssize_t i = 0; i < len; ++i) PyUnicode_WRITE(kind, data, w++, Py_UCS4(s[i]));
    };
    put_ascii(open, lo);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0) put_ascii(sep, ls);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(pieces[i]);
        if (PyUnicode_CopyCharacters(out, w, pieces[i], 0, len) < 0) {
            Py_DECREF(out);
            return nullptr;
        }
        w += len;
    }
    put_ascii(close, lc);
    return Ref::steal(out);
}

}  // namespace

Ref json_like_list(State& st, PyObject* list) {
    const Py_ssize_t n0 = PyList_GET_SIZE(list);
    if (n0 == 0) return Ref::steal(PyUnicode_FromStringAndSize("[]", 2));
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) return nullptr;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = list_item(list, i);
        if (!item) break;
        Ref text = text_form(st.c, item.get());
        if (!text) return nullptr;
        if (!PyUnicode_CheckExact(text.get())) {
            // a str subclass from __str__: its plain content
            text = Ref::steal(PyUnicode_FromObject(text.get()));
            if (!text) return nullptr;
        }
        if (PyList_Append(texts.get(), text.get()) < 0) return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(texts.get());
    if (n == 0) return Ref::steal(PyUnicode_FromStringAndSize("[]", 2));
    return join_wrapped(&PyList_GET_ITEM(texts.get(), 0), n, "[\"", "\",\"", "\"]");
}

Ref flatten_query(State& st, PyObject* payload) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    CriticalSection section(payload);
    const Py_ssize_t size0 = PyDict_GET_SIZE(payload);
    Py_ssize_t pos = 0;
    PyObject *k0, *v0;
    while (PyDict_Next(payload, &pos, &k0, &v0)) {
        Ref key = Ref::borrow(k0), value = Ref::borrow(v0);
        PyObject* v = value.get();
        if (v == Py_None) continue;
        Ref key_text = text_form(st.c, key.get());
        if (!key_text) return nullptr;
        // key[child] = text form of the child value (both held by the caller)
        auto child = [&](PyObject* ck, PyObject* cv) {
            Ref ck_text = text_form(st.c, ck);
            if (!ck_text) return false;
            Ref cv_text = text_form(st.c, cv);
            if (!cv_text) return false;
            Ref full = Ref::steal(PyUnicode_FromFormat("%U[%U]", key_text.get(), ck_text.get()));
            return full && PyDict_SetItem(out.get(), full.get(), cv_text.get()) == 0;
        };
        if (PyDict_CheckExact(v)) {
            CriticalSection child_section(v);
            Py_ssize_t cpos = 0;
            PyObject *ck0, *cv0;
            const Py_ssize_t csize0 = PyDict_GET_SIZE(v);
            while (PyDict_Next(v, &cpos, &ck0, &cv0)) {
                Ref ck = Ref::borrow(ck0), cv = Ref::borrow(cv0);
                if (!child(ck.get(), cv.get())) return nullptr;
                if (PyDict_GET_SIZE(v) != csize0) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    return nullptr;
                }
            }
        } else if (PyDict_Check(v)) {
            // A dict subclass (an OrderedDict, say) may keep an order of its
            // own, which only its items() knows. The list it gives may be
            // shared, so each pair is held while its texts are made.
            Ref items = Ref::steal(PyMapping_Items(v));
            if (!items) return nullptr;
            for (Py_ssize_t i = 0;; ++i) {
                Ref item = list_item(items.get(), i);
                if (!item) break;
                if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
                    PyErr_SetString(PyExc_TypeError, "items() must give (key, value) pairs");
                    return nullptr;
                }
                if (!child(PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1))) return nullptr;
            }
        } else {
            Ref text = PyList_Check(v) ? json_like_list(st, v) : text_form(st.c, v);
            if (!text || PyDict_SetItem(out.get(), key_text.get(), text.get()) < 0) return nullptr;
        }
        if (PyDict_GET_SIZE(payload) != size0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
    }
    return out;
}

}  // namespace zk::payloads
