// The research tables: recommendation presets and their aliases, official
// open-API field names, the range filters of product research, the months of
// the new-release period and the hidden fields of market research.
//
// Each table is written once here as plain data; the module builds from it
// the objects its functions read and, separately, the objects it exposes as
// attributes, so that nothing a caller does to an exposed table (or to a
// preset handed out) reaches the builders.
#include <utility>

#include "tables.hpp"

namespace zk::payloads {

namespace {

// A preset value: a text, or a list of texts when `list` is set.
struct PresetValue {
    const char* key;
    std::initializer_list<const char*> texts;
    bool list;
};

struct Preset {
    const char* name;
    std::initializer_list<PresetValue> values;
};

#define T(k, v) PresetValue{k, {v}, false}
#define L(k, ...) PresetValue{k, {__VA_ARGS__}, true}

const Preset kPresets[] = {
    {"低价长尾选品", {T("minRanking", "10000"), T("maxRanking", "50000"), T("maxSales", "300"), T("maxPrice", "30"),
                      T("maxSellers", "1")}},
    {"研发新品榜", {L("productTags", "NewRelease"), L("sellerTypes", "FBA", "FBM"), T("maxSales", "500")}},
    {"潜力单变体", {T("putawayMonth", "6"), T("minTotalUnitsGrowth", "20"), T("maxVariations", "1")}},
    {"销量飙升", {T("minSales", "300"), T("minTotalUnitsGrowth", "10")}},
    {"潜力市场", {T("putawayMonth", "6"), T("minTotalUnitsGrowth", "10"), T("maxSales", "600")}},
    {"未被满足的市场", {L("sellerTypes", "FBM"), T("minSales", "300"), T("putawayMonth", "6")}},
    {"不压库存的市场", {T("minSales", "600"), T("minSellers", "3"), T("putawayMonth", "6")}},
    {"投机市场", {T("minSales", "300"), T("maxReviews", "50"), T("putawayMonth", "6")}},
    {"高需求低要求市场", {T("minRankingCr", "99"), T("maxReviews", "10"), T("putawayMonth", "3")}},
    {"全品类铺货", {T("minRankingCr", "99"), T("putawayMonth", "3")}},
    {"精品铺货", {T("minRankingCr", "99"), T("putawayMonth", "3")}},
    {"低价商品", {L("eligibility", "Y"), T("maxPrice", "10"), T("smallAndLight", "lowPrice"), T("lowPrice", "Y")}},
    {"新手推荐", {L("sellerTypes", "FBA"), T("minSales", "300"), T("minTotalUnitsGrowth", "3"), T("minPrice", "15"),
                  T("maxPrice", "60"), T("putawayMonth", "12")}},
};

#undef T
#undef L

struct Pair {
    const char* a;
    const char* b;
};

const Pair kAliases[] = {
    {"low-price-long-tail", "低价长尾选品"},
    {"new-product-list", "研发新品榜"},
    {"new-release", "研发新品榜"},
    {"potential-single-variant", "潜力单变体"},
    {"rapid-growth", "销量飙升"},
    {"potential", "潜力市场"},
    {"improved", "未被满足的市场"},
    {"fulfilled", "不压库存的市场"},
    {"speculative", "投机市场"},
    {"high-demand", "高需求低要求市场"},
    {"distribution-categories", "全品类铺货"},
    {"competitive-products", "精品铺货"},
    {"small-light", "低价商品"},
    {"low-price", "低价商品"},
    {"newbie-recommend", "新手推荐"},
};

const Pair kOfficialAliases[] = {
    {"minUnits", "minSales"},
    {"maxUnits", "maxSales"},
    {"minRevenue", "minAmount"},
    {"maxRevenue", "maxAmount"},
    {"minUnitsCr", "minTotalUnitsGrowth"},
    {"maxUnitsCr", "maxTotalUnitsGrowth"},
    {"minRatings", "minReviews"},
    {"maxRatings", "maxReviews"},
    {"minRatingsCv", "minReviewsGrouth"},
    {"maxRatingsCv", "maxReviewsGrouth"},
    {"minStar", "minReviewRating"},
    {"maxStar", "maxReviewRating"},
    {"availableMonth", "putawayMonth"},
    {"fulfillment", "sellerTypes"},
    {"dimensionType", "pkgDimensionTypeList"},
    {"sellerNation", "sellerNationList"},
    {"minVariations", "minVariations"},
    {"maxVariations", "maxVariations"},
    {"variation", "maxVariations"},
    {"minBsr", "minRanking"},
    {"maxBsr", "maxRanking"},
    {"minBsrCv", "minRankingCv"},
    {"maxBsrCv", "maxRankingCv"},
    {"minBsrCr", "minRankingCr"},
    {"maxBsrCr", "maxRankingCr"},
    {"minLqs", "lqsFrom"},
    {"maxLqs", "lqsTo"},
    {"excludeKeywords", "outOfKeywords"},
    {"minSellers", "minSellers"},
    {"maxSellers", "maxSellers"},
};

// Range filters of product research: the target and, for eight of them, a
// second option name tried after the target's own.
const Pair kRangeTable[kRangeRows] = {
    {"minPrice", "priceMin"},
    {"maxPrice", "priceMax"},
    {"minSales", "salesMin"},
    {"maxSales", "salesMax"},
    {"minAmount", nullptr},
    {"maxAmount", nullptr},
    {"minAmzUnit", nullptr},
    {"maxAmzUnit", nullptr},
    {"minTotalUnitsGrowth", nullptr},
    {"maxTotalUnitsGrowth", nullptr},
    {"minRanking", nullptr},
    {"maxRanking", nullptr},
    {"minSubBsrRank", nullptr},
    {"maxSubBsrRank", nullptr},
    {"minRankingCv", nullptr},
    {"maxRankingCv", nullptr},
    {"minRankingCr", nullptr},
    {"maxRankingCr", nullptr},
    {"minVariations", nullptr},
    {"maxVariations", nullptr},
    {"minQuestions", nullptr},
    {"maxQuestions", nullptr},
    {"minReviewsGrouth", nullptr},
    {"maxReviewsGrouth", nullptr},
    {"minReviewsRate", nullptr},
    {"maxReviewsRate", nullptr},
    {"minProfit", nullptr},
    {"maxProfit", nullptr},
    {"lqsFrom", nullptr},
    {"lqsTo", nullptr},
    {"minReviews", "reviewsMin"},
    {"maxReviews", "reviewsMax"},
    {"minReviewRating", "ratingMin"},
    {"maxReviewRating", "ratingMax"},
    {"minFba", nullptr},
    {"maxFba", nullptr},
    {"minWeights", nullptr},
    {"maxWeights", nullptr},
    {"minDeliveryPrice", nullptr},
    {"maxDeliveryPrice", nullptr},
    {"minSellers", nullptr},
    {"maxSellers", nullptr},
};

struct Month {
    const char* text;
    long months;
};

const Month kMonths[] = {
    {"1", 1},         {"1m", 1},           {"one_month", 1}, {"1个月内上架", 1}, {"一个月内上架", 1},
    {"3", 3},         {"3m", 3},           {"three_months", 3}, {"3个月内上架", 3}, {"三个月内上架", 3},
    {"6", 6},         {"6m", 6},           {"half_year", 6}, {"半年内上架", 6},
};

const char* const kHidden[kMarketResearchHidden] = {
    "minAvgSales", "maxAvgSales", "minAvgBsr", "maxAvgBsr", "minAvgWeight", "maxAvgWeight",
    "minHeadListingAvgBsr", "maxHeadListingAvgBsr", "minTotalProducts", "maxTotalProducts", "minAvgRevenue",
    "maxAvgRevenue", "minAvgPrice", "maxAvgPrice", "minAvgVolume", "maxAvgVolume", "minHeadListingAvgSales",
    "maxHeadListingAvgSales", "minAvgReviews", "maxAvgReviews", "minAvgRating", "maxAvgRating", "minAvgProfit",
    "maxAvgProfit", "minHeadListingAvgRevenue", "maxHeadListingAvgRevenue", "minBrands", "maxBrands",
    "minHeadListingProductCrn", "maxHeadListingProductCrn", "minEbcRatio", "maxEbcRatio", "minAmzRatio",
    "maxAmzRatio", "minSellers", "maxSellers", "minHeadListingBrandCrn", "maxHeadListingBrandCrn", "minFbaRatio",
    "maxFbaRatio", "sellerNations", "minAvgSellers", "maxAvgSellers", "minHeadListingSellerCrn",
    "maxHeadListingSellerCrn", "minFbmRatio", "maxFbmRatio", "minNewRatio", "maxNewRatio", "minNewAvgPrice",
    "maxNewAvgPrice", "minNewAvgRevenue", "maxNewAvgRevenue", "minNewCount", "maxNewCount", "minNewAvgRating",
    "maxNewAvgRating", "minNewAvgReviews", "maxNewAvgReviews", "minNewAvgSales", "maxNewAvgSales",
};

bool set_text(PyObject* d, const char* key, PyObject* value) {
    if (!value) return false;
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    int r = k ? PyDict_SetItem(d, k.get(), value) : -1;
    Py_DECREF(value);
    return r == 0;
}

PyObject* text(const char* s) { return PyUnicode_InternFromString(s); }

PyObject* preset_value(const PresetValue& v) {
    if (!v.list) return text(*v.texts.begin());
    PyObject* list = PyList_New(Py_ssize_t(v.texts.size()));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const char* t : v.texts) {
        PyObject* item = text(t);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i++, item);
    }
    return list;
}

PyObject* pair_dict(const Pair* rows, size_t n) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (size_t i = 0; i < n; ++i)
        if (!set_text(d.get(), rows[i].a, text(rows[i].b))) return nullptr;
    return d.release();
}

// A template of the keys in order (values none unless given). Its table is
// made with `room` places for keys that are added later (conditional keys,
// later layers), and a copy, which clones the table, takes those without
// growing. Only the speed depends on this; a copy that does not clone is the
// same dict. (_PyDict_NewPresized is the interpreter's own presized dict,
// part of its C API for every version this module builds on; it is called
// here at load only.)
bool template_of(State& st, PyObject*& made, std::initializer_list<Str> keys, int room = 0,
                 std::initializer_list<std::pair<Str, PyObject*>> values = {}) {
    Ref d = Ref::steal(_PyDict_NewPresized(Py_ssize_t(keys.size()) + room));
    if (!d) return false;
    for (Str k : keys) {
        PyObject* value = Py_None;
        for (const auto& kv : values)
            if (kv.first == k) value = kv.second;
        if (PyDict_SetItem(d.get(), st.s[k], value) < 0) return false;
    }
    made = d.release();
    return true;
}

// The copies of the templates are made one round at a time, so that two
// copies of one template lie apart in memory (each is written by the threads
// of its stripe).
//
// A template holds, for the keys a builder sets with put(), the value the
// builder makes when the option is absent, the same object it compares
// with: a payload of defaults is a copy and nothing more.
bool init_templates(State& st) {
    PyObject* const* s = st.s;
    PyObject* const* n = st.ints;
    PyObject* const* t = st.int_text;
    for (int c = 0; c < kTemplateCopies; ++c) {
        const bool made =
            template_of(st, st.tpl_competitor.copy[c],
                        {k_market, k_monthName, k_asins, k_page, k_nodeIdPaths, k_symbolFlag, k_size, k_order,
                         k_lowPrice},
                        3,
                        {{k_page, n[1]}, {k_symbolFlag, Py_False}, {k_size, n[100]}, {k_lowPrice, s[k_default_flag]}}) &&
            template_of(st, st.tpl_keyword_miner.copy[c],
                        {k_keyword, k_market, k_pageNum, k_pageSize, k_historyDate, k_orderBy, k_desc,
                         k_filterRootWord, k_matchType, k_amazonChoice, k_keywordBidMatchType,
                         k_includeHighFrequency, k_groupNum},
                        0,
                        {{k_keyword, s[k_default_miner_keyword]}, {k_pageNum, n[1]}, {k_pageSize, n[100]},
                         {k_orderBy, n[5]}, {k_desc, Py_True}, {k_filterRootWord, n[0]}, {k_matchType, n[0]},
                         {k_amazonChoice, Py_False}, {k_keywordBidMatchType, s[k_default_bid_match_type]},
                         {k_includeHighFrequency, Py_True}, {k_groupNum, n[1]}}) &&
            template_of(st, st.tpl_keyword_reverse.copy[c],
                        {k_asin, k_market, k_limit, k_skip, k_page, k_month, k_badges, k_conversionKeywordTypes,
                         k_trafficKeywordTypes, k_order, k_desc, k_exactly, k_keywordBidMatchType,
                         k_filterDeletedKeywords},
                        0,
                        {{k_asin, s[k_default_reverse_asin]}, {k_limit, n[100]}, {k_skip, n[0]}, {k_page, n[1]},
                         {k_order, n[12]}, {k_desc, Py_True}, {k_exactly, Py_False},
                         {k_keywordBidMatchType, s[k_default_bid_match_type]}, {k_filterDeletedKeywords, Py_False}}) &&
            template_of(st, st.tpl_traffic_source.copy[c],
                        {k_keywordOrAsin, k_market, k_pageNo, k_pageSize, k_order, k_desc, k_month}, 0,
                        {{k_keywordOrAsin, st.c.s_empty}, {k_pageNo, n[1]}, {k_pageSize, n[100]}, {k_order, n[10]},
                         {k_desc, Py_True}}) &&
            template_of(st, st.tpl_product_research.copy[c],
                        {k_market, k_page, k_size, k_symbolFlag, k_monthName, k_selectType, k_filterSub,
                         k_weightUnit, k_order, k_productTags, k_nodeIdPaths, k_sellerTypes, k_eligibility,
                         k_pkgDimensionTypeList, k_sellerNationList, k_smallAndLight, k_lowPrice},
                        // presets, filters and the optional keys
                        32,
                        {{k_market, s[k_JP]}, {k_page, n[1]}, {k_size, n[100]}, {k_symbolFlag, Py_False},
                         {k_selectType, s[k_default_select_type]}, {k_filterSub, Py_False},
                         {k_weightUnit, s[k_default_weight_unit]}, {k_smallAndLight, s[k_default_flag]},
                         {k_lowPrice, s[k_default_flag]}}) &&
            template_of(st, st.tpl_order.copy[c], {k_field, k_desc}, 0, {{k_field, s[k_amz_unit]}, {k_desc, Py_True}}) &&
            template_of(st, st.tpl_market_research.copy[c],
                        {k_marketId, k_nodeIdPath, k_sampleNumber, k_topn, k_newReleaseNum, k_order_field,
                         k_order_desc, k_tab, k_monthName, k_newReleaseNumSelect, k_topNSelect, k_page, k_size},
                        // departmentKeyword and the hidden fields given
                        16,
                        {{k_nodeIdPath, st.c.s_empty}, {k_sampleNumber, s[k_default_sample_number_or_tab]},
                         {k_topn, t[10]}, {k_newReleaseNum, t[6]}, {k_order_field, s[k_total_sales]},
                         {k_order_desc, s[k_s_true]}, {k_tab, s[k_default_sample_number_or_tab]},
                         {k_newReleaseNumSelect, t[6]}, {k_topNSelect, t[10]}, {k_page, t[1]}, {k_size, t[100]}});
        if (!made) return false;
    }
    return true;
}

}  // namespace

int slot_of(State& st, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    PyObject* found = PyDict_GetItemWithError(st.slot_index, key.get());
    if (found) return int(PyLong_AsLong(found));
    if (PyErr_Occurred()) return -1;
    if (st.nslots >= kMaxSlots) {
        PyErr_SetString(PyExc_SystemError, "too many option names");
        return -1;
    }
    const int slot = st.nslots;
    Ref number = Ref::steal(PyLong_FromLong(slot));
    if (!number || PyDict_SetItem(st.slot_index, key.get(), number.get()) < 0) return -1;
    size_t h = addr_hash(key.get());
    while (st.addr_key[h]) h = (h + 1) & (State::kAddrTable - 1);
    st.addr_key[h] = key.get();
    st.addr_slot[h] = int16_t(slot);
    bool safe = true;
    for (const char* c = name; *c; ++c)
        safe = safe && ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                        *c == '_' || *c == '.' || *c == '-' || *c == '~');
    st.slot_form_safe[slot] = safe;
    st.slot_name[slot] = key.release();
    ++st.nslots;
    return slot;
}

bool init_slots(State& st) {
    if (!(st.slot_index = PyDict_New())) return false;
#if ZK_FREE_THREADED
    if (!(st.memos_key = PyUnicode_InternFromString("zentrik.seller_sprite.api.payloads memos"))) return false;
#endif
    for (int i = 0; i < k_count; ++i) {
        const char* name = PyUnicode_AsUTF8(st.s[i]);
        if (!name || slot_of(st, name) != i) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "duplicate option name");
            return false;
        }
    }
    return true;
}

PyObject* build_presets() {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (const Preset& p : kPresets) {
        PyObject* values = PyDict_New();
        if (!values) return nullptr;
        for (const PresetValue& v : p.values) {
            if (!set_text(values, v.key, preset_value(v))) {
                Py_DECREF(values);
                return nullptr;
            }
        }
        if (!set_text(d.get(), p.name, values)) return nullptr;
    }
    return d.release();
}

PyObject* build_aliases() { return pair_dict(kAliases, sizeof kAliases / sizeof kAliases[0]); }

PyObject* build_official_aliases() {
    return pair_dict(kOfficialAliases, sizeof kOfficialAliases / sizeof kOfficialAliases[0]);
}

PyObject* build_hidden_fields() {
    Ref list = Ref::steal(PyList_New(kMarketResearchHidden));
    if (!list) return nullptr;
    for (int i = 0; i < kMarketResearchHidden; ++i) {
        PyObject* item = text(kHidden[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

bool init_tables(State& st) {
    if (!init_slots(st)) return false;
    if (!(st.presets = build_presets()) || !(st.aliases = build_aliases())) return false;
    static_assert(sizeof kOfficialAliases / sizeof kOfficialAliases[0] == kOfficialRows);
    static_assert(kOfficialRows <= 64 && kRangeRows <= 64 && kMarketResearchHidden <= 64, "a row is a bit");
    for (int i = 0; i < kOfficialRows; ++i) {
        if ((st.official_from[i] = slot_of(st, kOfficialAliases[i].a)) < 0) return false;
        if ((st.official_to[i] = slot_of(st, kOfficialAliases[i].b)) < 0) return false;
        st.official_rows[st.official_from[i]] |= uint64_t(1) << i;
    }
    for (int i = 0; i < kRangeRows; ++i) {
        if ((st.range_target[i] = slot_of(st, kRangeTable[i].a)) < 0) return false;
        st.range_alt[i] = kRangeTable[i].b ? slot_of(st, kRangeTable[i].b) : -1;
        if (kRangeTable[i].b && st.range_alt[i] < 0) return false;
        st.range_rows[st.range_target[i]] |= uint64_t(1) << i;
        if (st.range_alt[i] >= 0) st.range_rows[st.range_alt[i]] |= uint64_t(1) << i;
    }
    for (int i = 0; i < kMarketResearchHidden; ++i) {
        if ((st.hidden[i] = slot_of(st, kHidden[i])) < 0) return false;
        st.hidden_rows[st.hidden[i]] |= uint64_t(1) << i;
    }
    if (!init_templates(st)) return false;
    Ref months = Ref::steal(PyDict_New());
    if (!months) return false;
    for (const Month& m : kMonths) {
        if (!set_text(months.get(), m.text, PyLong_FromLong(m.months))) return false;
    }
    st.month_table = months.release();
    return true;
}

}  // namespace zk::payloads
