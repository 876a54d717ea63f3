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

CATEGORY_TEXT = "\u3000Home & Kitchen \uff1a Kitchen &\tDining  \uff1aCoffee, Tea  &\u00a0Espresso \u3000"

# (id, node_id_path, label, label_path, has_children)
CATEGORY_NODES = [
    ("1055398", "1055398", "Home & Kitchen", "Home & Kitchen", True),
    ("284507", "1055398:284507", "Kitchen & Dining", "Home & Kitchen:Kitchen & Dining", True),
    ("289814", "1055398:284507:289814", "Coffee, Tea & Espresso", "Home & Kitchen:Kitchen & Dining:Coffee, Tea & Espresso", True),
    ("289668", "1055398:284507:289668", "Cookware", "Home & Kitchen:Kitchen & Dining:Cookware", True),
    ("289754", "1055398:284507:289754", "Kitchen Utensils & Gadgets", "Home & Kitchen:Kitchen & Dining:Kitchen Utensils & Gadgets", True),
    ("289913", "1055398:284507:289913", "Small Appliances", "Home & Kitchen:Kitchen & Dining:Small Appliances", True),
    ("13162311", "1055398:284507:13162311", "Dining & Entertaining", "Home & Kitchen:Kitchen & Dining:Dining & Entertaining", True),
    ("3206325011", "1055398:284507:3206325011", "Storage & Organization", "Home & Kitchen:Kitchen & Dining:Storage & Organization", True),
    ("1063498", "1055398:1063498", "Home Décor Products", "Home & Kitchen:Home Décor Products", True),
    ("1063306", "1055398:1063306", "Furniture", "Home & Kitchen:Furniture", True),
    ("1063236", "1055398:1063236", "Bedding", "Home & Kitchen:Bedding", True),
    ("1063278", "1055398:1063278", "Bath", "Home & Kitchen:Bath", True),
    ("3206324011", "1055398:3206324011", "Kitchen & Bath Fixtures", "Home & Kitchen:Kitchen & Bath Fixtures", True),
    ("510106", "1055398:510106", "Vacuums & Floor Care", "Home & Kitchen:Vacuums & Floor Care", True),
    ("3206327011", "1055398:3206327011", "Heating, Cooling & Air Quality", "Home & Kitchen:Heating, Cooling & Air Quality", True),
    ("3610841", "1055398:3610841", "Irons & Steamers", "Home & Kitchen:Irons & Steamers", True),
    ("1065836", "1055398:1065836", "Wall Art", "Home & Kitchen:Wall Art", True),
    ("13679381", "1055398:13679381", "Event & Party Supplies", "Home & Kitchen:Event & Party Supplies", True),
    ("2619525011", "2619525011", "Kitchen & Dining", "Appliances:Kitchen & Dining", False),
    ("1064954", "1064954", "Office Products", "Office Products", True),
]

RESOLVE_PARAMS = {
    "keyword": "garlic press", "market": "us", "month": "2026-03", "page": "1", "size": "50",
    "category": "Home & Kitchen:Kitchen & Dining, Sports & Outdoors : Outdoor Recreation,Toys & Games",
}

# What the service answers for each label (the client's decoded bodies).
CATEGORY_BODIES = {
    "Home & Kitchen:Kitchen & Dining": {"items": [
        {"id": 284507, "nodeIdPath": "1055398:284507", "nodeLabel": "Kitchen & Dining",
         "nodeLabelPath": "Home & Kitchen:Kitchen & Dining", "hasChildren": True},
        {"id": 289814, "nodeIdPath": "1055398:284507:289814", "nodeLabel": "Coffee, Tea & Espresso",
         "nodeLabelPath": "Home & Kitchen:Kitchen & Dining:Coffee, Tea & Espresso", "leaf": False},
    ]},
    "Sports & Outdoors : Outdoor Recreation": {"code": "OK", "data": {"items": [
        {"nodeId": "706814011", "nodeIdPath": "3375251:706814011", "nodeLabelLocale": "Outdoor Recreation",
         "nodeLabelPathLocale": "Sports & Outdoors:Outdoor Recreation", "children": [{"id": 1}]},
    ]}},
    "Toys & Games": {"items": [
        {"id": "165793011", "nodeIdPath": "165793011", "nodeLabel": "Toys & Games",
         "nodeLabelPath": "Toys & Games", "hasChildren": True},
    ]},
}

CREDENTIAL_64 = "seller@example.com:Tk7x9QmV2Lr8Tz1Wb5Nc7PdJ4hG6sK3aY0eR2uF8iOwQ!"
TEXT_1MIB = ("".join(chr(32 + (i * 7919) % 95) for i in range(4096)) * 256)[: 1 << 20]
