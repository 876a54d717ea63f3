// An option map read once.
//
// A builder reads dozens of option names (product research well over a
// hundred) from a map that holds a handful. So the map is walked once and
// each value filed under the slot of its name; every later read is an array
// load. The values are held by strong references: Python code that runs
// while the payload is built (a __bool__ or __str__ of an option value)
// cannot pull one away, nor change what the builder reads. A map with a key
// that is not an exact str (whose comparisons could run Python code) is not
// walked: it is copied once, and its reads are lookups in that copy, so it
// too is read as it was when the builder started.
//
// The slot table is far too large for the C stack of a call that may nest
// (a __str__ that calls a builder again): it lives on the heap, and each
// thread keeps the one its last call finished with, all-empty, for its next
// call. That spare holds no reference, so it belongs to the thread alone and
// needs no lock, whichever interpreter the thread runs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/stack.hpp"
#include "payloads.hpp"

namespace zk::payloads {

// The all-empty table a thread keeps for its next call (memory only). The
// pointer is plain data, read without the per-access initialisation check of
// a thread-local with a destructor; the owner that frees the table when the
// thread ends is set up the first time the thread makes a table.
inline thread_local OptionTable* spare_table = nullptr;
struct SpareOwner {
    bool armed = false;
    ~SpareOwner() { std::free(std::exchange(spare_table, nullptr)); }
};
inline thread_local SpareOwner spare_owner;

class Options {
public:
    Options(State& st, PyObject* d) : st_(st), d_(d) {}
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    ~Options() {
        if (t_) release();
        if (entered_) Py_LeaveRecursiveCall();
    }

    // Walks (or copies) the map; false (with an exception) on error. It is
    // also where a builder that nests through Python code meets the
    // interpreter's recursion limit and the end of the C stack.
    bool scan() {
        if (!enter_recursive_call(" while building a payload")) return false;
        entered_ = true;
        if (!(t_ = acquire())) return false;
        bool copy = false;
        {
            // No Python code runs in this walk: its keys are exact strs,
            // looked up among our own names.
            CriticalSection section(d_);
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(d_, &pos, &k, &v)) {
                if (!PyUnicode_CheckExact(k)) {
                    copy = true;
                    break;
                }
                int i = slot_by_address(st_, k);
                if (i < 0) {
                    if (PyUnicode_CHECK_INTERNED(k)) continue;  // every name of ours is interned
                    PyObject* slot = PyDict_GetItemWithError(st_.slot_index, k);  // module state: never changes
                    if (!slot) {
                        if (PyErr_Occurred()) return false;
                        continue;  // a name no builder reads
                    }
                    i = int(PyLong_AsLong(slot));
                }
                t_->v[i] = new_ref(v);
                t_->filled[t_->nfilled++] = int16_t(i);
            }
        }
        if (copy) {
            release();
            copy_ = Ref::steal(PyDict_Copy(d_));
            return static_cast<bool>(copy_);
        }
        return true;
    }

    // get(name): the value, NULL when absent; false on a lookup error.
    [[gnu::always_inline]] bool get(int slot, Ref& out) const {
        if (t_) {
            out = Ref::borrow(t_->v[slot]);
            return true;
        }
        return zk::get(copy_.get(), st_.slot_name[slot], out);
    }

    // The rows of a table (of `nrows`, at most 64) that the names read, and
    // set since, touch: the union of `rows_of` over their slots. Every row
    // for a copied map, whose names are not known without asking.
    uint64_t rows(const uint64_t* rows_of, int nrows) const {
        if (!t_) return ~uint64_t(0) >> (64 - nrows);
        uint64_t m = 0;
        for (int i = 0; i < t_->nfilled; ++i) m |= rows_of[t_->filled[i]];
        return m;
    }

    // Presence of a name, whatever its value: 1, 0, or -1 on error.
    int has(int slot) const {
        if (t_) return t_->v[slot] != nullptr;
        return PyDict_Contains(copy_.get(), st_.slot_name[slot]);
    }

    // Sets a name (in what was read: the map itself is never changed); false
    // on error.
    bool set(int slot, PyObject* value) {
        if (!t_) return PyDict_SetItem(copy_.get(), st_.slot_name[slot], value) == 0;
        PyObject* old = t_->v[slot];
        t_->v[slot] = new_ref(value);
        if (old) {
            Py_DECREF(old);
        } else {
            t_->filled[t_->nfilled++] = int16_t(slot);
        }
        return true;
    }

    // The fallback chain over names: 1 when a truthy value was found, 0 when
    // none was (`out` then holds the last value read, NULL when absent).
    [[gnu::always_inline]] int first_truthy(std::initializer_list<int> slots, Ref& out) const {
        return first_truthy_by(slots, [this](int slot, Ref& v) { return get(slot, v); }, out);
    }

private:
    OptionTable* acquire() {
        if (OptionTable* t = std::exchange(spare_table, nullptr)) return t;
        spare_owner.armed = true;
        auto* t = static_cast<OptionTable*>(std::calloc(1, sizeof(OptionTable)));
        if (!t) PyErr_NoMemory();
        return t;
    }

    // Lets go of the values and keeps the (now all-empty) table as the
    // thread's spare.
    void release() {
        OptionTable* t = std::exchange(t_, nullptr);
        for (int i = 0; i < t->nfilled; ++i) Py_CLEAR(t->v[t->filled[i]]);
        t->nfilled = 0;
        if (spare_table) {
            std::free(t);  // a nested call's table: the thread has one already
            return;
        }
        spare_table = t;
    }

    State& st_;
    PyObject* d_;
    OptionTable* t_ = nullptr;  // the map's values by slot, or
    Ref copy_;                  // the copy of a map with other keys
    bool entered_ = false;
};

// first truthy of the options, else `fallback` (a borrowed constant).
inline bool chain_or(const Options& o, std::initializer_list<int> slots, PyObject* fallback, Ref& out) {
    int t = o.first_truthy(slots, out);
    if (t < 0) return false;
    if (!t) out = Ref::borrow(fallback);
    return true;
}

// _int(first truthy of the options, default)
inline Ref int_chain(const Options& o, std::initializer_list<int> slots, long deflt) {
    Ref v;
    if (o.first_truthy(slots, v) < 0) return nullptr;
    return to_int_or(v.get(), deflt);
}

// _market: the upper-cased text of the first truthy of market, site, else `deflt`.
inline Ref market_of(State& st, const Options& o, PyObject* deflt) {
    Ref v;
    if (!chain_or(o, {k_market, k_site}, deflt, v)) return nullptr;
    return market_code(st, v.get());
}

// A truthy marketId as it is, else `id_of` the market code (`deflt` when
// neither market nor site is given); false on error.
inline bool market_id_or(State& st, const Options& o, PyObject* deflt, Ref (*id_of)(State&, PyObject*), Ref& out) {
    const int t = o.first_truthy({k_marketId}, out);
    if (t) return t > 0;
    Ref code = market_of(st, o, deflt);
    if (!code) return false;
    out = id_of(st, code.get());
    return bool(out);
}

// The order of competitor lookup and product research: {"field": orderField
// or "amz_unit", "desc": order_desc(orderDesc)}. A copy of its template when
// it holds a default; two keys of others are cheaper to insert than to
// replace in a copy.
inline bool put_order(State& st, const Options& o, PyObject* payload) {
    PyObject* const* s = st.s;
    Ref field, v;
    if (!chain_or(o, {k_orderField}, s[k_amz_unit], field) || !o.get(k_orderDesc, v)) return false;
    const int t = order_desc(st, or_none(v));
    if (t < 0) return false;
    PyObject* desc = t ? Py_True : Py_False;
    const bool copy = field.get() == s[k_amz_unit] || desc == Py_True;
    Ref order = copy ? copy_template(st.tpl_order) : Ref::steal(PyDict_New());
    return order && put(order.get(), s[k_field], field.get(), copy ? s[k_amz_unit] : nullptr) &&
           put(order.get(), s[k_desc], desc, copy ? Py_True : nullptr) &&
           PyDict_SetItem(payload, s[k_order], order.get()) == 0;
}

}  // namespace zk::payloads
