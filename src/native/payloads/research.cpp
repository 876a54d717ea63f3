// Product research (input normalisation, recommendation presets, the layered
// payload and its filters) and the market research form.
#include "payloads.hpp"

namespace zk::payloads {

namespace {

// A preset's values as the caller's own: a new dict, lists copied.
PyObject* copy_preset(PyObject* preset) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(preset, &pos, &k, &v)) {
        Ref value = Ref::steal(PyList_CheckExact(v) ? PyList_GetSlice(v, 0, PyList_GET_SIZE(v)) : new_ref(v));
        if (!value || PyDict_SetItem(out.get(), k, value.get()) < 0) return nullptr;
    }
    return out.release();
}

// A text with every occurrence of one ASCII character replaced by another.
PyObject* replace_char(PyObject* s, Py_UCS4 from, Py_UCS4 to) {
    if (PyUnicode_FindChar(s, from, 0, PyUnicode_GET_LENGTH(s), 1) == -1) return new_ref(s);
    Ref a = Ref::steal(PyUnicode_FromOrdinal(int(from)));
    Ref b = Ref::steal(PyUnicode_FromOrdinal(int(to)));
    if (!a || !b) return nullptr;
    return PyUnicode_Replace(s, a.get(), b.get(), -1);
}

// text of a value (a new reference)
inline PyObject* text_of(State& st, PyObject* v) { return text_form(st.c, v); }

}  // namespace

PyObject* preset_key(State& st, PyObject* value) {
    Ref t = Ref::steal(trim(value));
    if (!t) return nullptr;
    Ref low = Ref::steal(lower(st.c, t.get()));
    if (!low) return nullptr;
    Ref dashed = Ref::steal(replace_char(low.get(), '_', '-'));
    if (!dashed) return nullptr;
    return replace_char(dashed.get(), ' ', '-');
}

PyObject* normalize_product_research_input(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref data = Ref::steal(PyDict_Copy(in));
    if (!data) return nullptr;
    PyObject* d = data.get();
    // Official open-API names fill the web-form names that are not given.
    for (int i = 0; i < kOfficialRows; ++i) {
        PyObject* from = st.official_from[i];
        PyObject* to = st.official_to[i];
        if (from == to) continue;
        Ref v = Ref::borrow(PyDict_GetItemWithError(d, from));
        if (!v) {
            if (PyErr_Occurred()) return nullptr;
            continue;  // presence decides: a none value is copied too
        }
        int has_to = PyDict_Contains(d, to);
        if (has_to < 0 || (!has_to && PyDict_SetItem(d, to, v.get()) < 0)) return nullptr;
    }
    // Badge flags become product tags; a true badgeNR with no tags given comes first.
    Ref badge;
    if (!opt(st, d, k_badgeNR, badge)) return nullptr;
    if (badge && badge.get() != Py_None) {
        int has_tags = PyDict_Contains(d, s[k_productTags]);
        if (has_tags < 0) return nullptr;
        if (!has_tags) {
            int t = truthy(st, badge.get(), nullptr);
            if (t < 0) return nullptr;
            if (t) {
                Ref tags = Ref::steal(PyList_New(1));
                if (!tags) return nullptr;
                PyList_SET_ITEM(tags.get(), 0, new_ref(s[k_NewRelease]));
                if (PyDict_SetItem(d, s[k_productTags], tags.get()) < 0) return nullptr;
            }
        }
    }
    Ref given;
    if (!opt(st, d, k_productTags, given)) return nullptr;
    Ref tags = Ref::steal(csv(st, arg(given)));
    if (!tags) return nullptr;
    static constexpr Str badges[3][2] = {{k_badgeBS, k_BestSeller}, {k_badgeAC, k_AmazonChoice}, {k_badgeNR, k_NewRelease}};
    for (const auto& row : badges) {
        Ref v;
        if (!opt(st, d, row[0], v)) return nullptr;
        int t = truthy(st, arg(v), nullptr);
        if (t < 0) return nullptr;
        if (!t) continue;
        int present = PySequence_Contains(tags.get(), s[row[1]]);
        if (present < 0 || (!present && PyList_Append(tags.get(), s[row[1]]) < 0)) return nullptr;
    }
    if (PyList_GET_SIZE(tags.get()) > 0 && PyDict_SetItem(d, s[k_productTags], tags.get()) < 0) return nullptr;
    return data.release();
}

PyObject* product_research_recommendation_preset(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref mode;
    int t = first_truthy(in, {s[k_recommendationMode], s[k_recommendMode], s[k_presetMode], s[k_productMode],
                              s[k_mode], s[k_mode_zh]},
                         mode);
    if (t < 0) return nullptr;
    if (!t) return PyDict_New();
    Ref text = Ref::steal(trimmed_text(st.c, mode.get()));
    if (!text) return nullptr;
    Ref key = Ref::steal(preset_key(st, text.get()));
    if (!key) return nullptr;
    PyObject* name = PyDict_GetItemWithError(st.aliases, key.get());
    if (!name) {
        if (PyErr_Occurred()) return nullptr;
        name = text.get();
    }
    PyObject* preset = PyDict_GetItemWithError(st.presets, name);
    if (!preset) return PyErr_Occurred() ? nullptr : PyDict_New();
    return copy_preset(preset);
}

PyObject* new_release_num(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref v;
    if (first_truthy(in, {s[k_newReleaseNum], s[k_newReleaseMonths], s[k_newProductMonths], s[k_newRelease]}, v) < 0)
        return nullptr;
    if (!v || v.get() == Py_None) return small_int(6);
    Ref text = Ref::steal(trimmed_text(st.c, v.get()));
    if (!text) return nullptr;
    Ref low = Ref::steal(lower(st.c, text.get()));
    if (!low) return nullptr;
    PyObject* months = PyDict_GetItemWithError(st.month_table, low.get());
    if (months) return new_ref(months);
    if (PyErr_Occurred()) return nullptr;
    Ref six = Ref::steal(small_int(6));
    return six ? int_or(v.get(), six.get()) : nullptr;
}

bool append_product_list_filters(State& st, PyObject* payload, PyObject* in) {
    for (Str k : {k_productTags, k_sellerTypes, k_eligibility}) {
        Ref v;
        if (!opt(st, in, k, v)) return false;
        if (v && v.get() != Py_None && !put(payload, st.s[k], csv(st, v.get()))) return false;
    }
    return true;
}

bool append_product_range_filters(State& st, PyObject* payload, PyObject* in) {
    for (int i = 0; i < kRangeRows; ++i) {
        Ref v;
        if (!get(in, st.range_targets[i], v)) return false;
        if ((!v || v.get() == Py_None) && st.range_alt[i] && !get(in, st.range_alt[i], v)) return false;
        if (v && v.get() != Py_None && !put(payload, st.range_targets[i], text_of(st, v.get()))) return false;
    }
    return true;
}

bool append_product_extra_filters(State& st, PyObject* payload, PyObject* in) {
    for (Str k : {k_putawayMonth, k_smallAndLight, k_lowPrice, k_video, k_matchType}) {
        Ref v;
        if (!opt(st, in, k, v)) return false;
        if (v && v.get() != Py_None && PyDict_SetItem(payload, st.s[k], v.get()) < 0) return false;
    }
    return true;
}

PyObject* make_product_research_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref data = Ref::steal(normalize_product_research_input(st, in));
    if (!data) return nullptr;
    PyObject* dt = data.get();
    Ref month, v;
    if (!chain_or(dt, {s[k_month], s[k_period]}, s[k_m2026_03], month)) return nullptr;
    Ref preset = Ref::steal(product_research_recommendation_preset(st, dt));
    if (!preset) return nullptr;

    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (!put(d, s[k_market], market(st, dt, s[k_JP]))) return nullptr;
    if (!put(d, s[k_page], int_chain(dt, {s[k_page], s[k_startPage]}, 1))) return nullptr;
    if (!put(d, s[k_size], int_chain(dt, {s[k_size], s[k_pageSize]}, 100))) return nullptr;
    if (PyDict_SetItem(d, s[k_symbolFlag], Py_False) < 0) return nullptr;
    int t = first_truthy(dt, {s[k_monthName]}, v);
    if (t < 0 || !put(d, s[k_monthName], t ? v.release() : month_name(st, month.get()))) return nullptr;
    if (!chain_or(dt, {s[k_selectType]}, s[k_two], v) || !put(d, s[k_selectType], text_of(st, v.get())))
        return nullptr;
    if (!opt(st, dt, k_filterSub, v)) return nullptr;
    t = (v && v.get() != Py_None) ? truthy(st, v.get(), nullptr) : 0;
    if (t < 0 || PyDict_SetItem(d, s[k_filterSub], t ? Py_True : Py_False) < 0) return nullptr;
    if (!chain_or(dt, {s[k_weightUnit]}, s[k_g], v) || PyDict_SetItem(d, s[k_weightUnit], v.get()) < 0)
        return nullptr;

    Ref order = Ref::steal(PyDict_New());
    if (!order || !chain_or(dt, {s[k_orderField]}, s[k_amz_unit], v) ||
        PyDict_SetItem(order.get(), s[k_field], v.get()) < 0 || !opt(st, dt, k_orderDesc, v))
        return nullptr;
    t = order_desc(st, arg(v));
    if (t < 0 || PyDict_SetItem(order.get(), s[k_desc], t ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(d, s[k_order], order.get()) < 0)
        return nullptr;

    if (!put(d, s[k_productTags], PyList_New(0))) return nullptr;
    if (first_truthy(dt, {s[k_node], s[k_category], s[k_nodeIdPaths]}, v) < 0 ||
        !put(d, s[k_nodeIdPaths], csv(st, arg(v))))
        return nullptr;
    if (!put(d, s[k_sellerTypes], PyList_New(0)) || !put(d, s[k_eligibility], PyList_New(0))) return nullptr;
    for (Str k : {k_pkgDimensionTypeList, k_sellerNationList}) {
        if (!opt(st, dt, k, v) || !put(d, s[k], csv(st, arg(v)))) return nullptr;
    }
    for (Str k : {k_smallAndLight, k_lowPrice}) {
        if (!chain_or(dt, {s[k]}, s[k_N], v) || PyDict_SetItem(d, s[k], v.get()) < 0) return nullptr;
    }

    // The layers: the preset over the base, then the explicit filters.
    if (PyDict_GET_SIZE(preset.get()) > 0 && PyDict_Update(d, preset.get()) < 0) return nullptr;
    if (!append_product_list_filters(st, d, dt) || !append_product_range_filters(st, d, dt) ||
        !append_product_extra_filters(st, d, dt))
        return nullptr;
    for (Str k : {k_keyword, k_keywords, k_includeBrands, k_excludeBrands, k_includeSellers, k_excludeSellers,
                  k_outOfKeywords}) {
        if (!opt(st, dt, k, v) || (t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k], v.get()) < 0))
            return nullptr;
    }
    return p.release();
}

PyObject* make_market_research_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Ref month, top, v;
    if (!chain_or(in, {s[k_month], s[k_period]}, s[k_nearly], month)) return nullptr;
    Ref ten = Ref::steal(small_int(10));
    if (!ten || !chain_or(in, {s[k_topn], s[k_topN]}, ten.get(), top)) return nullptr;
    Ref months = Ref::steal(new_release_num(st, in));
    if (!months) return nullptr;

    Ref p = Ref::steal(PyDict_New());
    if (!p) return nullptr;
    PyObject* d = p.get();
    int t = first_truthy(in, {s[k_marketId]}, v);
    if (t < 0) return nullptr;
    if (!t) {
        Ref code = Ref::steal(market(st, in, s[k_US]));
        if (!code) return nullptr;
        v = Ref::steal(market_research_market_id(st, code.get()));
        if (!v) return nullptr;
    }
    if (!put(d, s[k_marketId], text_of(st, v.get()))) return nullptr;
    if (first_truthy(in, {s[k_nodeIdPath], s[k_node], s[k_category]}, v) < 0 ||
        !put(d, s[k_nodeIdPath], query_text(st, arg(v))))
        return nullptr;
    if (!chain_or(in, {s[k_sampleNumber]}, s[k_one], v) || !put(d, s[k_sampleNumber], text_of(st, v.get())))
        return nullptr;
    if (!put(d, s[k_topn], text_of(st, top.get()))) return nullptr;
    if (!put(d, s[k_newReleaseNum], text_of(st, months.get()))) return nullptr;
    if (!chain_or(in, {s[k_orderField], s[k_order_field]}, s[k_total_sales], v) ||
        PyDict_SetItem(d, s[k_order_field], v.get()) < 0)
        return nullptr;
    if (first_truthy(in, {s[k_orderDesc], s[k_order_desc]}, v) < 0) return nullptr;
    t = order_desc(st, arg(v));
    if (t < 0 || PyDict_SetItem(d, s[k_order_desc], t ? s[k_s_true] : s[k_s_false]) < 0) return nullptr;
    if (!chain_or(in, {s[k_tab]}, s[k_one], v) || !put(d, s[k_tab], text_of(st, v.get()))) return nullptr;
    t = first_truthy(in, {s[k_monthName]}, v);
    if (t < 0 || !put(d, s[k_monthName], t ? v.release() : month_name(st, month.get()))) return nullptr;
    if (!chain_or(in, {s[k_newReleaseNumSelect]}, months.get(), v) ||
        !put(d, s[k_newReleaseNumSelect], text_of(st, v.get())))
        return nullptr;
    if (!chain_or(in, {s[k_topNSelect]}, top.get(), v) || !put(d, s[k_topNSelect], text_of(st, v.get())))
        return nullptr;
    Ref n = Ref::steal(int_chain(in, {s[k_page], s[k_startPage]}, 1));
    if (!n || !put(d, s[k_page], text_of(st, n.get()))) return nullptr;
    n = Ref::steal(int_chain(in, {s[k_size], s[k_pageSize]}, 100));
    if (!n || !put(d, s[k_size], text_of(st, n.get()))) return nullptr;
    if ((t = first_truthy(in, {s[k_departmentKeyword], s[k_keyword]}, v)) < 0 ||
        (t && !put(d, s[k_departmentKeyword], query_text(st, v.get()))))
        return nullptr;
    for (int i = 0; i < kMarketResearchHidden; ++i) {
        if (!get(in, st.hidden[i], v)) return nullptr;
        if (v && v.get() != Py_None && !put(d, st.hidden[i], text_of(st, v.get()))) return nullptr;
    }
    return p.release();
}

}  // namespace zk::payloads
