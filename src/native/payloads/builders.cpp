// The option-to-payload builders of the competitor lookup, keyword miner,
// keyword reverse and traffic source scenarios.
//
// Options are read leniently: alternative names in a fixed order, the first
// truthy value winning; conversion failures fall back to the row's default;
// no option value is ever rejected.
#include "payloads.hpp"

namespace zk::payloads {

namespace {

// Sets key = value (a new reference, stolen) in the payload.
inline bool put(PyObject* payload, PyObject* key, PyObject* value) {
    if (!value) return false;
    int r = PyDict_SetItem(payload, key, value);
    Py_DECREF(value);
    return r == 0;
}

// first truthy of the options, else `fallback` (a borrowed constant).
inline bool chain_or(PyObject* d, std::initializer_list<PyObject*> keys, PyObject* fallback, Ref& out) {
    if (!first_truthy(d, keys, out)) return false;
    int t = truthy_ref(out);
    if (t < 0) return false;
    if (!t) out = Ref::borrow(fallback);
    return true;
}

// _int(first truthy of the options, default)
inline PyObject* int_chain(PyObject* d, std::initializer_list<PyObject*> keys, long deflt) {
    Ref v;
    if (!first_truthy(d, keys, v)) return nullptr;
    Ref dv = Ref::steal(small_int(deflt));
    if (!dv) return nullptr;
    return int_or(v.get(), dv.get());
}

// The value a fallback chain yields as an argument: absent reads as none.
inline PyObject* arg(const Ref& r) { return r ? r.get() : Py_None; }

}  // namespace

PyObject* make_competitor_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref mkt = Ref::steal(market(st, in, s[k_DE]));
    if (!mkt) return nullptr;
    Ref month;
    if (!chain_or(in, {s[k_month], s[k_period]}, s[k_m202604], month)) return nullptr;

    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (PyDict_SetItem(d, s[k_market], mkt.get()) < 0) return nullptr;

    Ref v;
    if (!opt(st, in, k_monthName, v)) return nullptr;
    int t = truthy_ref(v);
    if (t < 0) return nullptr;
    if (!put(d, s[k_monthName], t ? v.release() : month_name(st, month.get()))) return nullptr;

    if (!opt(st, in, k_asins, v)) return nullptr;
    if (!put(d, s[k_asins], csv(st, arg(v)))) return nullptr;
    if (!put(d, s[k_page], int_chain(in, {s[k_page], s[k_startPage]}, 1))) return nullptr;
    if (!first_truthy(in, {s[k_node], s[k_nodeIdPaths]}, v)) return nullptr;
    if (!put(d, s[k_nodeIdPaths], csv(st, arg(v)))) return nullptr;
    if (PyDict_SetItem(d, s[k_symbolFlag], Py_False) < 0) return nullptr;
    if (!put(d, s[k_size], int_chain(in, {s[k_size], s[k_pageSize]}, 100))) return nullptr;

    Ref order = Ref::steal(PyDict_New());
    if (!order) return nullptr;
    if (!chain_or(in, {s[k_orderField]}, s[k_amz_unit], v)) return nullptr;
    if (PyDict_SetItem(order.get(), s[k_field], v.get()) < 0) return nullptr;
    if (!opt(st, in, k_orderDesc, v)) return nullptr;
    t = order_desc(st, arg(v));
    if (t < 0 || PyDict_SetItem(order.get(), s[k_desc], t ? Py_True : Py_False) < 0) return nullptr;
    if (PyDict_SetItem(d, s[k_order], order.get()) < 0) return nullptr;

    if (!chain_or(in, {s[k_lowPrice]}, s[k_N], v)) return nullptr;
    if (PyDict_SetItem(d, s[k_lowPrice], v.get()) < 0) return nullptr;

    if (!first_truthy(in, {s[k_keywords], s[k_keyword]}, v)) return nullptr;
    if ((t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k_keywords], v.get()) < 0)) return nullptr;
    for (Str k : {k_brand, k_sellerName}) {
        if (!opt(st, in, k, v) || (t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k], v.get()) < 0))
            return nullptr;
    }
    return p.release();
}

}  // namespace zk::payloads
