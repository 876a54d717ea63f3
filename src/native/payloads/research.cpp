// Product research (input normalisation, recommendation presets, the layered
// payload and its filters) and the market research form.
#include <bit>

#include "options.hpp"

namespace zk::payloads {

namespace {

// Sets a preset's values into `target`, in order: lists copied, so that
// neither the caller's map nor a payload shares one with the table.
bool lay_preset(PyObject* target, PyObject* preset) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(preset, &pos, &k, &v)) {
        Ref value = Ref::steal(PyList_CheckExact(v) ? PyList_GetSlice(v, 0, PyList_GET_SIZE(v)) : new_ref(v));
        if (!value || PyDict_SetItem(target, k, value.get()) < 0) return false;
    }
    return true;
}

// A text with every occurrence of one ASCII character replaced by another.
Ref replace_char(PyObject* s, Py_UCS4 from, Py_UCS4 to) {
    if (PyUnicode_FindChar(s, from, 0, PyUnicode_GET_LENGTH(s), 1) == -1) return Ref::borrow(s);
    Ref a = Ref::steal(PyUnicode_FromOrdinal(int(from)));
    Ref b = Ref::steal(PyUnicode_FromOrdinal(int(to)));
    if (!a || !b) return nullptr;
    return Ref::steal(PyUnicode_Replace(s, a.get(), b.get(), -1));
}

// text of a value (a new reference)
// Small integers (page numbers, counts, months) are the usual values here:
// their texts are made once, at module load.
[[gnu::always_inline]] inline Ref text_of(State& st, PyObject* v) {
    if (PyLong_CheckExact(v)) {
        int overflow;
        const long x = PyLong_AsLongAndOverflow(v, &overflow);
        if (!overflow && x >= 0 && x < kIntTexts) return Ref::borrow(st.int_text[x]);
    }
    return text_form(st.c, v);
}

}  // namespace

Ref preset_key(State& st, PyObject* value) {
    Ref t = trim(value);
    if (!t) return nullptr;
    Ref low = lower(st.c, t.get());
    if (!low) return nullptr;
    Ref dashed = replace_char(low.get(), '_', '-');
    if (!dashed) return nullptr;
    return replace_char(dashed.get(), ' ', '-');
}

// The names normalisation sets, in order: each official name at most once,
// and the product tags twice at most.
struct SetNames {
    int slot[kOfficialRows + 2];
    int n = 0;
};

// Normalisation on an option map read once: official open-API names fill
// the web-form names that are not given, and the badge flags become product
// tags. The names it sets are appended to `set` (when given), in order.
static bool normalize(State& st, Options& o, SetNames* set) {
    PyObject* const* s = st.s;
    auto assign = [&](int slot, PyObject* value) {
        if (!o.set(slot, value)) return false;
        if (set) set->slot[set->n++] = slot;
        return true;
    };
    // Rows in order, from the names given; a name set here joins in the
    // later rows that read it.
    for (uint64_t rows = o.rows(st.official_rows, kOfficialRows); rows; rows &= rows - 1) {
        const int i = std::countr_zero(rows);
        const int from = st.official_from[i], to = st.official_to[i];
        if (from == to) continue;
        Ref v;
        if (!o.get(from, v)) return false;
        if (!v) continue;  // presence decides: a none value is copied too
        int has_to = o.has(to);
        if (has_to < 0) return false;
        if (has_to) continue;
        if (!assign(to, v.get())) return false;
        rows |= st.official_rows[to] & ~((uint64_t(2) << i) - 1);
    }
    // A true badgeNR with no tags given puts "NewRelease" first.
    Ref badge;
    if (!o.get(k_badgeNR, badge)) return false;
    if (badge && badge.get() != Py_None) {
        int has_tags = o.has(k_productTags);
        if (has_tags < 0) return false;
        if (!has_tags) {
            int t = truthy(st, badge.get(), nullptr);
            if (t < 0) return false;
            if (t) {
                Ref tags = Ref::steal(PyList_New(1));
                if (!tags) return false;
                PyList_SET_ITEM(tags.get(), 0, new_ref(s[k_NewRelease]));
                if (!assign(k_productTags, tags.get())) return false;
            }
        }
    }
    Ref given;
    if (!o.get(k_productTags, given)) return false;
    Ref tags = csv(st, or_none(given));
    if (!tags) return false;
    static constexpr Str badges[3][2] = {
        {k_badgeBS, k_BestSeller}, {k_badgeAC, k_AmazonChoice}, {k_badgeNR, k_NewRelease}};
    for (const auto& row : badges) {
        Ref v;
        if (!o.get(row[0], v)) return false;
        int t = truthy(st, or_none(v), nullptr);
        if (t < 0) return false;
        if (!t) continue;
        int present = PySequence_Contains(tags.get(), s[row[1]]);
        if (present < 0 || (!present && PyList_Append(tags.get(), s[row[1]]) < 0)) return false;
    }
    return PyList_GET_SIZE(tags.get()) == 0 || assign(k_productTags, tags.get());
}

Ref normalize_product_research_input(State& st, PyObject* in) {
    Options o(st, in);
    SetNames set;
    if (!o.scan()) return nullptr;
    // The copy is of the map as it was read: normalisation may run code that changes it.
    Ref data = Ref::steal(PyDict_Copy(in));
    if (!data || !normalize(st, o, &set)) return nullptr;
    for (int i = 0; i < set.n; ++i) {
        Ref v;
        if (!o.get(set.slot[i], v) || PyDict_SetItem(data.get(), st.slot_name[set.slot[i]], v.get()) < 0)
            return nullptr;
    }
    return data;
}

// The table's preset that the recommendation mode names, which the table
// keeps: 1 with `out` set, 0 when no preset is named, -1 on error.
static int preset_of(State& st, const Options& o, Borrowed& out) {
    Ref mode;
    int t = o.first_truthy(
        {k_recommendationMode, k_recommendMode, k_presetMode, k_productMode, k_mode, k_mode_zh}, mode);
    if (t <= 0) return t;
    Ref text = trimmed_text(st.c, mode.get());
    if (!text) return -1;
    Ref key = preset_key(st, text.get());
    if (!key) return -1;
    // The unfolded text is the fallback: a preset name must match exactly.
    PyObject* name = PyDict_GetItemWithError(st.aliases, key.get());
    if (!name) {
        if (PyErr_Occurred()) return -1;
        name = text.get();
    }
    out = Borrowed(PyDict_GetItemWithError(st.presets, name));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

Ref product_research_recommendation_preset(State& st, PyObject* in) {
    Options o(st, in);
    if (!o.scan()) return nullptr;
    Borrowed preset;
    if (preset_of(st, o, preset) < 0) return nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!out || (preset && !lay_preset(out.get(), preset.get()))) return nullptr;
    return out;
}

static Ref new_release_months(State& st, const Options& o) {
    Ref v;
    if (o.first_truthy({k_newReleaseNum, k_newReleaseMonths, k_newProductMonths, k_newRelease}, v) < 0)
        return nullptr;
    if (!v || v.get() == Py_None) return Ref::borrow(st.ints[6]);
    Ref text = trimmed_text(st.c, v.get());
    if (!text) return nullptr;
    Ref low = lower(st.c, text.get());
    if (!low) return nullptr;
    PyObject* months = PyDict_GetItemWithError(st.month_table, low.get());
    if (months) return Ref::borrow(months);
    if (PyErr_Occurred()) return nullptr;
    return int_or(v.get(), st.ints[6]);
}

Ref new_release_num(State& st, PyObject* in) {
    Options o(st, in);
    return o.scan() ? new_release_months(st, o) : nullptr;
}

// The three filter layers of product research, on an option map read once.
static bool list_filters(State& st, PyObject* payload, const Options& o) {
    for (Str k : {k_productTags, k_sellerTypes, k_eligibility}) {
        Ref v;
        if (!o.get(k, v)) return false;
        if (v && v.get() != Py_None && !set_made(payload, st.s[k], csv(st, v.get()))) return false;
    }
    return true;
}

static bool range_filters(State& st, PyObject* payload, const Options& o) {
    for (uint64_t rows = o.rows(st.range_rows, kRangeRows); rows; rows &= rows - 1) {
        const int i = std::countr_zero(rows);
        Ref v;
        if (!o.get(st.range_target[i], v)) return false;
        if ((!v || v.get() == Py_None) && st.range_alt[i] >= 0 && !o.get(st.range_alt[i], v)) return false;
        if (v && v.get() != Py_None && !set_made(payload, st.slot_name[st.range_target[i]], text_of(st, v.get())))
            return false;
    }
    return true;
}

static bool extra_filters(State& st, PyObject* payload, const Options& o) {
    for (Str k : {k_putawayMonth, k_smallAndLight, k_lowPrice, k_video, k_matchType}) {
        Ref v;
        if (!o.get(k, v)) return false;
        if (v && v.get() != Py_None && PyDict_SetItem(payload, st.s[k], v.get()) < 0) return false;
    }
    return true;
}

bool append_product_list_filters(State& st, PyObject* payload, PyObject* in) {
    Options o(st, in);
    return o.scan() && list_filters(st, payload, o);
}

bool append_product_range_filters(State& st, PyObject* payload, PyObject* in) {
    Options o(st, in);
    return o.scan() && range_filters(st, payload, o);
}

bool append_product_extra_filters(State& st, PyObject* payload, PyObject* in) {
    Options o(st, in);
    return o.scan() && extra_filters(st, payload, o);
}

Ref make_product_research_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    if (!o.scan() || !normalize(st, o, nullptr)) return nullptr;
    Ref month, v;
    if (!chain_or(o, {k_month, k_period}, s[k_default_product_month], month)) return nullptr;
    Borrowed preset;  // the table's own: only read
    if (preset_of(st, o, preset) < 0) return nullptr;

    Ref p = copy_template(st.tpl_product_research);
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (!put_made(d, s[k_market], market_of(st, o, s[k_JP]), s[k_JP])) return nullptr;
    if (!put_made(d, s[k_page], int_chain(o, {k_page, k_startPage}, 1), st.ints[1])) return nullptr;
    if (!put_made(d, s[k_size], int_chain(o, {k_size, k_pageSize}, 100), st.ints[100])) return nullptr;
    int t = o.first_truthy({k_monthName}, v);
    if (t < 0 || !set_made(d, s[k_monthName], t ? std::move(v) : month_name(st, month.get()))) return nullptr;
    if (!chain_or(o, {k_selectType}, s[k_default_select_type], v) ||
        !put_made(d, s[k_selectType], text_of(st, v.get()), s[k_default_select_type]))
        return nullptr;
    if (!o.get(k_filterSub, v)) return nullptr;
    t = (v && v.get() != Py_None) ? truthy(st, v.get(), nullptr) : 0;
    if (t < 0 || !put(d, s[k_filterSub], t ? Py_True : Py_False, Py_False)) return nullptr;
    if (!chain_or(o, {k_weightUnit}, s[k_default_weight_unit], v) ||
        !put(d, s[k_weightUnit], v.get(), s[k_default_weight_unit]))
        return nullptr;

    if (!put_order(st, o, d)) return nullptr;

    if (!set_made(d, s[k_productTags], Ref::steal(PyList_New(0)))) return nullptr;
    if (o.first_truthy({k_node, k_category, k_nodeIdPaths}, v) < 0 || !set_made(d, s[k_nodeIdPaths], csv(st, or_none(v))))
        return nullptr;
    if (!set_made(d, s[k_sellerTypes], Ref::steal(PyList_New(0))) || !set_made(d, s[k_eligibility], Ref::steal(PyList_New(0)))) return nullptr;
    for (Str k : {k_pkgDimensionTypeList, k_sellerNationList}) {
        if (!o.get(k, v) || !set_made(d, s[k], csv(st, or_none(v)))) return nullptr;
    }
    for (Str k : {k_smallAndLight, k_lowPrice}) {
        if (!chain_or(o, {k}, s[k_default_flag], v) || !put(d, s[k], v.get(), s[k_default_flag])) return nullptr;
    }

    // The layers: the preset over the base, then the explicit filters.
    if (preset && !lay_preset(d, preset.get())) return nullptr;
    if (!list_filters(st, d, o) || !range_filters(st, d, o) || !extra_filters(st, d, o)) return nullptr;
    for (Str k : {k_keyword, k_keywords, k_includeBrands, k_excludeBrands, k_includeSellers, k_excludeSellers,
                  k_outOfKeywords}) {
        if (!o.get(k, v) || (t = truthy_ref(v)) < 0 || (t && PyDict_SetItem(d, s[k], v.get()) < 0))
            return nullptr;
    }
    return p;
}

Ref make_market_research_payload(State& st, PyObject* in) {
    PyObject* const* s = st.s;
    Options o(st, in);
    if (!o.scan()) return nullptr;
    Ref month, top, v;
    if (!chain_or(o, {k_month, k_period}, s[k_default_month], month)) return nullptr;
    if (!chain_or(o, {k_topn, k_topN}, st.ints[10], top)) return nullptr;
    Ref months = new_release_months(st, o);
    if (!months) return nullptr;

    Ref p = copy_template(st.tpl_market_research);
    if (!p) return nullptr;
    PyObject* d = p.get();
    if (!market_id_or(st, o, s[k_US], market_research_market_id, v)) return nullptr;
    if (!set_made(d, s[k_marketId], text_of(st, v.get()))) return nullptr;
    if (o.first_truthy({k_nodeIdPath, k_node, k_category}, v) < 0 ||
        !put_made(d, s[k_nodeIdPath], query_text(st, or_none(v)), st.c.s_empty))
        return nullptr;
    if (!chain_or(o, {k_sampleNumber}, s[k_default_sample_number_or_tab], v) ||
        !put_made(d, s[k_sampleNumber], text_of(st, v.get()), s[k_default_sample_number_or_tab]))
        return nullptr;
    if (!put_made(d, s[k_topn], text_of(st, top.get()), st.int_text[10])) return nullptr;
    if (!put_made(d, s[k_newReleaseNum], text_of(st, months.get()), st.int_text[6])) return nullptr;
    if (!chain_or(o, {k_orderField, k_order_field}, s[k_total_sales], v) ||
        !put(d, s[k_order_field], v.get(), s[k_total_sales]))
        return nullptr;
    if (o.first_truthy({k_orderDesc, k_order_desc}, v) < 0) return nullptr;
    int t = order_desc(st, or_none(v));
    if (t < 0 || !put(d, s[k_order_desc], t ? s[k_s_true] : s[k_s_false], s[k_s_true])) return nullptr;
    if (!chain_or(o, {k_tab}, s[k_default_sample_number_or_tab], v) ||
        !put_made(d, s[k_tab], text_of(st, v.get()), s[k_default_sample_number_or_tab]))
        return nullptr;
    t = o.first_truthy({k_monthName}, v);
    if (t < 0 || !set_made(d, s[k_monthName], t ? std::move(v) : month_name(st, month.get()))) return nullptr;
    if (!chain_or(o, {k_newReleaseNumSelect}, months.get(), v) ||
        !put_made(d, s[k_newReleaseNumSelect], text_of(st, v.get()), st.int_text[6]))
        return nullptr;
    if (!chain_or(o, {k_topNSelect}, top.get(), v) ||
        !put_made(d, s[k_topNSelect], text_of(st, v.get()), st.int_text[10]))
        return nullptr;
    Ref n = int_chain(o, {k_page, k_startPage}, 1);
    if (!n || !put_made(d, s[k_page], text_of(st, n.get()), st.int_text[1])) return nullptr;
    n = int_chain(o, {k_size, k_pageSize}, 100);
    if (!n || !put_made(d, s[k_size], text_of(st, n.get()), st.int_text[100])) return nullptr;
    if ((t = o.first_truthy({k_departmentKeyword, k_keyword}, v)) < 0 ||
        (t && !set_made(d, s[k_departmentKeyword], query_text(st, v.get()))))
        return nullptr;
    // The hidden fields given, in the order of their list.
    for (uint64_t rows = o.rows(st.hidden_rows, kMarketResearchHidden); rows; rows &= rows - 1) {
        const int slot = st.hidden[std::countr_zero(rows)];
        if (!o.get(slot, v)) return nullptr;
        if (v && v.get() != Py_None && !set_made(d, st.slot_name[slot], text_of(st, v.get()))) return nullptr;
    }
    return p;
}

}  // namespace zk::payloads
