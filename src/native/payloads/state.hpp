// Module state of the payloads module: interned keys and texts, the market
// and month tables and the research tables, all made once at module load.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/args.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/shared.hpp"
#include "common/value.hpp"

namespace zk::payloads {

// Every key and fixed text the module writes or reads, interned once.
#define ZK_PAYLOAD_STRINGS(X)                                                  \
    X(market, "market") X(site, "site") X(month, "month") X(period, "period")  \
    X(monthName, "monthName") X(asins, "asins") X(page, "page")                \
    X(startPage, "startPage") X(node, "node") X(nodeIdPaths, "nodeIdPaths")    \
    X(nodeIdPath, "nodeIdPath") X(category, "category")                        \
    X(symbolFlag, "symbolFlag") X(size, "size") X(pageSize, "pageSize")        \
    X(order, "order") X(field, "field") X(desc, "desc")                        \
    X(orderField, "orderField") X(orderDesc, "orderDesc")                      \
    X(lowPrice, "lowPrice") X(keywords, "keywords") X(keyword, "keyword")      \
    X(brand, "brand") X(sellerName, "sellerName") X(amz_unit, "amz_unit")      \
    X(DE, "DE") X(JP, "JP") X(US, "US") X(COM, "COM")                \
    X(bsr_sales_nearly, "bsr_sales_nearly")                \
                                     \
    X(historyDate, "historyDate") X(q, "q")        \
    X(marketId, "marketId") X(pageNum, "pageNum") X(orderBy, "orderBy")        \
    X(filterRootWord, "filterRootWord") X(rootWord, "rootWord")                \
    X(filterRootWordEnabled, "filterRootWordEnabled")                          \
    X(matchType, "matchType") X(amazonChoice, "amazonChoice")                  \
    X(keywordBidMatchType, "keywordBidMatchType")            \
    X(includeHighFrequency, "includeHighFrequency") X(groupNum, "groupNum")    \
    X(asin, "asin") X(limit, "limit")              \
    X(skip, "skip") X(badges, "badges")                                        \
    X(conversionKeywordTypes, "conversionKeywordTypes")                        \
    X(trafficKeywordTypes, "trafficKeywordTypes") X(exactly, "exactly")        \
    X(filterDeletedKeywords, "filterDeletedKeywords")                          \
    X(keywordOrAsin, "keywordOrAsin") X(pageNo, "pageNo")                      \
    X(selectType, "selectType") X(filterSub, "filterSub")          \
    X(weightUnit, "weightUnit") X(productTags, "productTags")        \
    X(sellerTypes, "sellerTypes") X(eligibility, "eligibility")                \
    X(pkgDimensionTypeList, "pkgDimensionTypeList")                            \
    X(sellerNationList, "sellerNationList") X(smallAndLight, "smallAndLight")  \
    X(putawayMonth, "putawayMonth") X(video, "video")                          \
    X(includeBrands, "includeBrands") X(excludeBrands, "excludeBrands")        \
    X(includeSellers, "includeSellers") X(excludeSellers, "excludeSellers")    \
    X(outOfKeywords, "outOfKeywords")                                          \
    X(recommendationMode, "recommendationMode")                                \
    X(recommendMode, "recommendMode") X(presetMode, "presetMode")              \
    X(productMode, "productMode") X(mode, "mode") X(mode_zh, "推荐模式")        \
    X(badgeBS, "badgeBS") X(badgeAC, "badgeAC") X(badgeNR, "badgeNR")          \
    X(BestSeller, "BestSeller") X(AmazonChoice, "AmazonChoice")                \
    X(NewRelease, "NewRelease") X(newReleaseNum, "newReleaseNum")              \
    X(newReleaseMonths, "newReleaseMonths")                                    \
    X(newProductMonths, "newProductMonths") X(newRelease, "newRelease")        \
    X(sampleNumber, "sampleNumber") X(topn, "topn") X(topN, "topN")            \
    X(order_field, "order.field") X(order_desc, "order.desc")                  \
    X(total_sales, "total_sales") X(tab, "tab")                                \
    X(newReleaseNumSelect, "newReleaseNumSelect") X(topNSelect, "topNSelect")  \
    X(departmentKeyword, "departmentKeyword") X(s_true, "true")                \
    X(s_false, "false") X(comma, ",")                                          \
    /* the texts that options fall back to, by what they are the default of */ \
    X(default_flag, "N") X(default_competitor_month, "202604")                 \
    X(default_product_month, "2026-03") X(default_month, "nearly")             \
    X(default_miner_keyword, "flashlight")                                     \
    X(default_bid_match_type, "exact") X(default_reverse_asin, "B07YRMT36L")   \
    X(default_select_type, "2") X(default_weight_unit, "g")                    \
    X(default_sample_number_or_tab, "1")

enum Str : int {
#define ZK_ENUM(name, text) k_##name,
    ZK_PAYLOAD_STRINGS(ZK_ENUM)
#undef ZK_ENUM
        k_count
};

constexpr int kStations = 10;
constexpr int kMarketResearchHidden = 61;
constexpr int kRangeRows = 42;
constexpr int kOfficialRows = 30;
constexpr int kMaxSlots = 384;
constexpr int kIntTexts = 256;

// The results a conversion last made from exact strs, kept with those strs:
// builders meet the same option texts call after call ("2026-03", a list of
// ASINs), and a text equal to one of the last few gets the same result again
// (an immutable text, or a tuple of texts). Only short texts are kept.
//
// A memo is state that changes after load: it hands out references of the
// caller's own (anything the caller does next may run Python code that turns
// the memo over), and its entries are replaced whole. With a GIL the module
// keeps one; a free-threaded build gives each thread its own (see
// memos_of), which no other thread reads, so that none takes a lock.
struct Memo {
    static constexpr int kEntries = 4;
    static constexpr Py_ssize_t kLongest = 256;
    PyObject* in[kEntries] = {};  // exact strs
    PyObject* out[kEntries] = {};
    int next = 0;  // the entry to replace

    // The result for `s` (an exact str), or empty.
    Ref find(PyObject* s) const {
        for (int i = 0; i < kEntries; ++i)
            if (in[i] == s) return Ref::borrow(out[i]);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const int kind = PyUnicode_KIND(s);
        for (int i = 0; i < kEntries; ++i) {
            PyObject* t = in[i];
            if (t && PyUnicode_GET_LENGTH(t) == n && PyUnicode_KIND(t) == kind &&
                std::memcmp(PyUnicode_DATA(s), PyUnicode_DATA(t), size_t(n) * size_t(kind)) == 0)
                return Ref::borrow(out[i]);
        }
        return Ref();
    }
    void keep(PyObject* s, PyObject* result) {
        if (PyUnicode_GET_LENGTH(s) > kLongest) return;
        // Both new references are in place before the old ones go (freeing
        // a str or a tuple of strs runs no Python code).
        PyObject* old_in = std::exchange(in[next], new_ref(s));
        PyObject* old_out = std::exchange(out[next], new_ref(result));
        next = (next + 1) % kEntries;
        Py_XDECREF(old_in);
        Py_XDECREF(old_out);
    }
    template <typename F>
    void each(F&& f) {
        for (int i = 0; i < kEntries; ++i) {
            f(in[i]);
            f(out[i]);
        }
    }
};

struct Memos {
    Memo csv;      // csv(): the tuple of pieces
    Memo month;    // month_name()
    Memo history;  // history_date()

    template <typename F>
    void each(F&& f) {
        csv.each(f);
        month.each(f);
        history.each(f);
    }
};

// The values of one option map by slot (see Options in options.hpp).
struct OptionTable {
    PyObject* v[kMaxSlots];     // by slot; NULL where the map has no such name
    int16_t filled[kMaxSlots];  // the slots set, in the order they were set
    int nfilled;
};

// A payload template, which nothing writes after load. On a free-threaded
// build it is kept in several copies and each thread copies the one of its
// stripe: PyDict_Copy takes the lock of the dict it copies, and the cache line
// of one template that every thread copies went from core to core on every
// call (two threads made no more payloads a second than one).
#if ZK_FREE_THREADED
inline constexpr int kTemplateCopies = 8;
#else
inline constexpr int kTemplateCopies = 1;
#endif
struct Template {
    PyObject* copy[kTemplateCopies] = {};
};

struct State {
    Common c;
    Functions functions;
    PyObject* s[k_count] = {};

    // Market tables: station codes US..MX and their ids in each column.
    PyObject* station[kStations] = {};        // "US", "UK", ...
    PyObject* market_id[kStations] = {};      // 1, 3, 4, ...
    PyObject* mr_market_id[kStations] = {};   // 1, 3, ..., 35691, ...
    PyObject* ts_market[kStations] = {};      // "COM", "UK", ...

    // The builders' own copies of the research tables.
    PyObject* presets = nullptr;            // dict name -> dict
    PyObject* aliases = nullptr;            // dict alias -> name
    PyObject* month_table = nullptr;        // dict text -> int (new-release months)

    // Option slots: every name a builder reads or writes has a slot number;
    // the names of `s` come first, in their order. An option map is read
    // once into an array indexed by slot (see Options).
    PyObject* slot_name[kMaxSlots] = {};
    int nslots = 0;
    PyObject* slot_index = nullptr;  // dict name -> slot number
    // The same by the address of the interned name: most option maps are
    // keyed by interned strings, found here without hashing their text.
    static constexpr int kAddrTable = 1024;
    PyObject* addr_key[kAddrTable] = {};  // borrowed from slot_name
    int16_t addr_slot[kAddrTable] = {};
    bool slot_form_safe[kMaxSlots] = {};  // the name stays as it is in form encoding
    int official_from[kOfficialRows] = {};
    int official_to[kOfficialRows] = {};
    int range_target[kRangeRows] = {};
    int range_alt[kRangeRows] = {};  // -1: the row has no second name
    int hidden[kMarketResearchHidden] = {};
    // By slot, a bit for each row of a table that reads the name: a builder
    // walks only the rows that the names given touch.
    uint64_t official_rows[kMaxSlots] = {};  // rows whose open-API name it is
    uint64_t range_rows[kMaxSlots] = {};     // rows whose filter or second name it is
    uint64_t hidden_rows[kMaxSlots] = {};    // the hidden field it is

    PyObject* keyword_miner_referer = nullptr;
    PyObject* int_text[kIntTexts] = {};  // "0" .. "255"
    PyObject* ints[kIntTexts] = {};      // 0 .. 255 (the interpreter's own small ints)

    // Payload templates: every key a builder always sets, in order, with the
    // default where it is an immutable constant (else none). A payload starts
    // as a copy, sized once, and the values that differ are set in place.
    Template tpl_competitor;
    Template tpl_keyword_miner;
    Template tpl_keyword_reverse;
    Template tpl_traffic_source;
    Template tpl_product_research;
    Template tpl_market_research;
    Template tpl_order;  // the order of competitor lookup and product research

#if ZK_FREE_THREADED
    PyObject* memos_key = nullptr;  // the name of a thread's memos in its thread-state dict
#else
    Memos memos;
#endif

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

inline size_t addr_hash(const PyObject* p) {
    return size_t((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 54);  // 10 bits
}

// The slot of a name by the address of the interned name itself; -1 for
// any other object (another str of the same text included).
inline int slot_by_address(const State& st, PyObject* k) {
    size_t h = addr_hash(k);
    while (PyObject* key = st.addr_key[h]) {
        if (key == k) return st.addr_slot[h];
        h = (h + 1) & (State::kAddrTable - 1);
    }
    return -1;
}

// A new payload: a copy of the template's copy for this thread.
inline Ref copy_template(const Template& t) {
#if ZK_FREE_THREADED
    static std::atomic<unsigned> threads{0};
    thread_local int stripe = -1;
    if (stripe < 0) stripe = int(threads.fetch_add(1, std::memory_order_relaxed) % kTemplateCopies);
    return Ref::steal(PyDict_Copy(t.copy[stripe]));
#else
    return Ref::steal(PyDict_Copy(t.copy[0]));
#endif
}

#if ZK_FREE_THREADED
namespace detail {
// Bumped whenever a thread's memos go (with its thread state): a thread's
// note of where its memos are holds only while no memos have gone since, so
// that a thread state made later at the same address is never taken for the
// one that went.
inline std::atomic<uint64_t> memos_gone{0};
struct MemosSeen {
    PyThreadState* ts = nullptr;
    uint64_t gone = 0;
    Memos* memos = nullptr;
};
inline thread_local MemosSeen memos_seen;
Memos* thread_memos(State& st, PyThreadState* ts, uint64_t gone);  // coerce.cpp
}  // namespace detail
#endif

// The memos of the calling thread: the module's with a GIL; on a
// free-threaded build the thread's own, kept in its thread-state dict (so
// that they go with the thread, or with the interpreter it ran in), or none
// when they cannot be made.
inline Memos* memos_of(State& st) {
#if ZK_FREE_THREADED
    PyThreadState* ts = PyThreadState_GetUnchecked();
    const uint64_t gone = detail::memos_gone.load(std::memory_order_acquire);
    const detail::MemosSeen& seen = detail::memos_seen;
    if (seen.ts == ts && seen.gone == gone && seen.memos) return seen.memos;
    return detail::thread_memos(st, ts, gone);
#else
    return &st.memos;
#endif
}

// The result of make(v), remembered in the memo `which` when `v` is an exact
// str.
template <typename Make>
Ref through(State& st, Memo Memos::*which, PyObject* v, Make&& make) {
    const bool exact = PyUnicode_CheckExact(v);
    if (exact)
        if (Memos* m = memos_of(st))
            if (Ref made = (m->*which).find(v)) return made;
    Ref made = make(v);
    // The memos are asked for again: make() may have run Python code.
    if (made && exact)
        if (Memos* m = memos_of(st)) (m->*which).keep(v, made.get());
    return made;
}

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }
// The state a module function is handed.
inline State& state_of(void* state) { return *static_cast<State*>(state); }

}  // namespace zk::payloads
