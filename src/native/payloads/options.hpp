// An option map read once.
//
// A builder reads dozens of option names (product research well over a
// hundred) from a map that holds a handful. So the map is walked once and
// each value filed under the slot of its name; every later read is an array
// load. The values are held by strong references: Python code that runs
// while the payload is built (a __bool__ or __str__ of an option value)
// cannot pull one away. A map with a key that is not an exact str (which
// could run Python code when compared) is not walked: its reads go to the
// map itself, each as a lookup.
#pragma once

#include <cstdint>
#include <cstring>

#include "payloads.hpp"

namespace zk::payloads {

class Options {
public:
    Options(State& st, PyObject* d) : st_(st), d_(d) {}
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    ~Options() {
        for (int i = 0; i < nfilled_; ++i) Py_XDECREF(v_[filled_[i]]);
    }

    // Walks the map; false (with an exception) on error.
    bool scan() {
        std::memset(v_, 0, sizeof(PyObject*) * size_t(st_.nslots));
        scanned_ = true;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d_, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) {
                // Comparing such a key could run Python code: read by lookups.
                for (int i = 0; i < nfilled_; ++i) Py_CLEAR(v_[filled_[i]]);
                nfilled_ = 0;
                scanned_ = false;
                return true;
            }
            int i = slot_by_address(k);
            if (i < 0) {
                if (PyUnicode_CHECK_INTERNED(k)) continue;  // every name of ours is interned
                PyObject* slot = PyDict_GetItemWithError(st_.slot_index, k);
                if (!slot) {
                    if (PyErr_Occurred()) return false;
                    continue;  // a name no builder reads
                }
                i = int(PyLong_AsLong(slot));
            }
            Py_INCREF(v);
            v_[i] = v;
            filled_[nfilled_++] = int16_t(i);
        }
        return true;
    }

    // get(name): the value, NULL when absent; false on a lookup error.
    bool get(int slot, Ref& out) const {
        if (scanned_) {
            out = Ref::borrow(v_[slot]);
            return true;
        }
        if (overlay_has(slot)) {
            out = Ref::borrow(v_[slot]);
            return true;
        }
        return zk::get(d_, st_.slot_name[slot], out);
    }

    // Presence of a name, whatever its value: 1, 0, or -1 on error.
    int has(int slot) const {
        if (scanned_ || overlay_has(slot)) return v_[slot] != nullptr;
        return PyDict_Contains(d_, st_.slot_name[slot]);
    }

    // Sets a name (a layer over the map: the map itself is never changed).
    void set(int slot, PyObject* value) {
        Py_INCREF(value);
        if (!scanned_ && !overlay_has(slot)) {
            overlay_[noverlay_++] = int16_t(slot);
        } else if (v_[slot] != nullptr) {
            PyObject* old = v_[slot];
            v_[slot] = value;
            Py_DECREF(old);
            return;
        }
        v_[slot] = value;
        filled_[nfilled_++] = int16_t(slot);
    }

    // The fallback chain over names: 1 when a truthy value was found, 0 when
    // none was (`out` then holds the last value read, NULL when absent).
    int first_truthy(std::initializer_list<int> slots, Ref& out) const {
        for (int slot : slots) {
            if (!get(slot, out)) return -1;
            if (out) {
                int t = truth(out.get());
                if (t) return t;
            }
        }
        return 0;
    }

private:
    int slot_by_address(PyObject* k) const {
        size_t h = addr_hash(k);
        while (PyObject* key = st_.addr_key[h]) {
            if (key == k) return st_.addr_slot[h];
            h = (h + 1) & (State::kAddrTable - 1);
        }
        return -1;
    }

    bool overlay_has(int slot) const {
        for (int i = 0; i < noverlay_; ++i)
            if (overlay_[i] == slot) return true;
        return false;
    }

    State& st_;
    PyObject* d_;
    bool scanned_ = false;
    int nfilled_ = 0;
    int noverlay_ = 0;
    int16_t filled_[kMaxSlots];  // small: builders can nest through a __str__ that calls one
    int16_t overlay_[kMaxSlots];
    PyObject* v_[kMaxSlots];
};

// first truthy of the options, else `fallback` (a borrowed constant).
inline bool chain_or(const Options& o, std::initializer_list<int> slots, PyObject* fallback, Ref& out) {
    int t = o.first_truthy(slots, out);
    if (t < 0) return false;
    if (!t) out = Ref::borrow(fallback);
    return true;
}

// _int(first truthy of the options, default)
inline PyObject* int_chain(const Options& o, std::initializer_list<int> slots, long deflt) {
    Ref v;
    if (o.first_truthy(slots, v) < 0) return nullptr;
    Ref dv = Ref::steal(small_int(deflt));
    if (!dv) return nullptr;
    return int_or(v.get(), dv.get());
}

// _market: the upper-cased text of the first truthy of market, site, else `deflt`.
inline PyObject* market_of(State& st, const Options& o, PyObject* deflt) {
    Ref v;
    if (!chain_or(o, {k_market, k_site}, deflt, v)) return nullptr;
    return market_code(st, v.get());
}

}  // namespace zk::payloads
