"""Sample option maps and payloads of the benchmark (what a command line passes)."""

COMPETITOR_CLI = {
    "market": "us", "month": "2026-03", "asins": "B07YRMT36L,B08N5WRWNW, B09G9FPHY6", "page": "2",
    "size": "50", "node": "1055398:284507:289814", "orderField": "total_units", "orderDesc": "false",
    "keywords": "garlic press", "brand": "OXO",
}
KEYWORD_MINER_CLI = {
    "keyword": "garlic press", "market": "us", "month": "2026-03", "page": "2", "size": "50", "orderBy": "5",
    "desc": "true", "rootWord": "yes", "matchType": "1", "amazonChoice": "no", "includeHighFrequency": "yes",
}
KEYWORD_REVERSE_CLI = {
    "asin": "B07YRMT36L", "market": "us", "month": "2026-03", "page": "2", "size": "50",
    "badges": "amazon_choice,best_seller", "conversionKeywordTypes": "natural, sponsored",
    "trafficKeywordTypes": "organic,sp,sb", "order": "12", "desc": "false", "exactly": "no",
    "filterDeletedKeywords": "yes",
}
TRAFFIC_SOURCE_CLI = {
    "asins": "B07YRMT36L,B08N5WRWNW", "market": "us", "month": "2026-03", "page": "1", "size": "50",
    "order": "10", "desc": "true",
}
# A recommendation mode, range filters, official open-API names and a badge.
PRODUCT_RESEARCH_CLI = {
    "market": "us", "month": "2026-03", "page": "1", "size": "50", "recommendationMode": "low-price-long-tail",
    "node": "1055398:284507", "minPrice": "10", "maxPrice": "35", "minSales": "300", "maxReviews": "200",
    "minReviewRating": "4.0", "maxSellers": "3", "minBsr": "1000", "maxBsr": "80000", "availableMonth": "6",
    "fulfillment": "FBA,FBM", "badgeAC": "yes", "keyword": "garlic press",
}
# Base options and a dozen hidden filter fields.
MARKET_RESEARCH_CLI = {
    "market": "us", "month": "2026-03", "node": "1055398", "topN": "20", "newReleaseNum": "3m",
    "orderField": "total_sales", "orderDesc": "false", "page": "1", "size": "50", "keyword": "kitchen",
    "minAvgSales": "300", "maxAvgSales": "3000", "minAvgPrice": "10", "maxAvgPrice": "50", "maxAvgReviews": "500",
    "minAvgRating": "3.5", "maxBrands": "50", "maxAmzRatio": "0.2", "sellerNations": "US,CN", "minNewRatio": "0.1",
    "maxHeadListingProductCrn": "0.6", "minFbaRatio": "0.5",
}

BUILDERS = (
    ("competitor", "make_competitor_payload", COMPETITOR_CLI),
    ("keyword_miner", "make_keyword_miner_payload", KEYWORD_MINER_CLI),
    ("keyword_reverse", "make_keyword_reverse_payload", KEYWORD_REVERSE_CLI),
    ("traffic_source", "make_traffic_source_payload", TRAFFIC_SOURCE_CLI),
    ("product_research", "make_product_research_payload", PRODUCT_RESEARCH_CLI),
    ("market_research", "make_market_research_payload", MARKET_RESEARCH_CLI),
)

REFERER_PAYLOADS = {
    "competitor-lookup": {
        "market": "US", "monthName": "bsr_sales_monthly_202603",
        "asins": ["B07YRMT36L", "B08N5WRWNW", "B09G9FPHY6"], "page": 2, "nodeIdPaths": ["1055398:284507:289814"],
        "symbolFlag": False, "size": 50, "order": {"field": "total_units", "desc": False}, "lowPrice": "N",
        "keywords": "garlic press", "brand": "OXO",
    },
    "keyword-reverse": {
        "asin": "B07YRMT36L", "market": "US", "limit": 50, "skip": 50, "page": 2, "month": "202603",
        "badges": ["amazon_choice", "best_seller"], "conversionKeywordTypes": ["natural", "sponsored"],
        "trafficKeywordTypes": ["organic", "sp", "sb"], "order": 12, "desc": False, "exactly": False,
        "keywordBidMatchType": "exact", "filterDeletedKeywords": True,
    },
    "traffic-source": {
        "keywordOrAsin": "B07YRMT36L,B08N5WRWNW", "market": "COM", "pageNo": 1, "pageSize": 50, "order": 10,
        "desc": True, "month": "202603",
    },
}
